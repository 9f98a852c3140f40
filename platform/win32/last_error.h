// The system's text for a failed call, taken inside that call: a later call
// overwrites GetLastError, so the text is kept per thread until the driver
// shows it (an open failure, a registry write failure).
#pragma once

#include <string>

#include "platform/win32/windows_api.h"

namespace zeva::win32 {

// Records the text of GetLastError() as it is now.
void CaptureLastError();
// Records the text of `code` (a registry call returns its code directly).
void CaptureErrorCode(DWORD code);
// The recorded text; empty when nothing failed on this thread yet.
std::string LastErrorText();

}  // namespace zeva::win32
