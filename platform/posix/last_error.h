// The calling thread's last system error, as text. It plays the part of the
// Win32 thread last-error value: a failing system call records it, and the
// driver shows it later (a registry write failure, an open failure).
#pragma once

#include <string>

namespace zeva::posix {

// Records the current errno.
void SetLastErrorFromErrno();
// Records the given errno value.
void SetLastErrorFromCode(int errnoValue);
// Records a text that has no errno value.
void SetLastErrorText(std::string text);
// The recorded text; empty when nothing failed on this thread yet.
std::string LastErrorText();

}  // namespace zeva::posix
