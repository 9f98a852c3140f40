// The COM port over the Win32 communications API, with overlapped I/O.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace zeva::win32 {

// Opens "\\.\COM<n>" and configures the line. On kCannotOpen the system's
// text is recorded (LastErrorText).
std::unique_ptr<platform::SerialPort> OpenSerialPort(int portNumber, const platform::SerialConfig& config,
                                                     platform::SerialStatus* status);

}  // namespace zeva::win32
