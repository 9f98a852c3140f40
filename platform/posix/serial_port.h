// The termios serial port: COMn on POSIX.
//
// COMn is the tty that $ZEVA_PREFIX/dosdevices/comN names (usually a symlink),
// else /dev/ttyS(N-1). The port is opened exclusively, non-blocking, raw,
// with even parity, one stop bit, no flow control and DTR/RTS off.
//
// The port is four pieces: this file opens it; termios_line.cpp sets the
// line up; TermiosPort (termios_port.h) watches it, reads and writes;
// InputPump (input_pump.h) keeps the input queue and the read-ahead hold,
// whose arithmetic is platform::PlanHold's. Who watches the line, the event
// thread or the reader waiting in the driver, is platform::ReaderLease's
// to say: one thread's wake-up per data event.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

struct termios;

namespace zeva::posix {

// The device file COM`portNumber` stands for.
std::string ComDevicePath(int portNumber);

// The line as the adapter needs it, applied to `tio`: raw bytes both ways,
// `byteSize` data bits (5 to 8), even parity, one stop bit, no flow
// control, the receiver on, modem lines ignored. False for another size.
bool MakeRawLine(termios* tio, uint8_t byteSize);

// Opens and configures the tty at `path`. kCannotOpen records the system's
// text as the last error; kConfigFailed is silent.
std::unique_ptr<platform::SerialPort> OpenSerialDevice(const std::string& path, const platform::SerialConfig& config,
                                                       platform::SerialStatus* status);

}  // namespace zeva::posix
