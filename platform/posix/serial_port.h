// The termios serial port: COMn on POSIX.
//
// COMn is the tty that $ZEVA_PREFIX/dosdevices/comN names (usually a symlink),
// else /dev/ttyS(N-1). The port is opened exclusively, non-blocking, raw,
// with even parity, one stop bit, no flow control and DTR/RTS off.
//
// Events: the event thread takes arriving bytes from the terminal into the
// port's own input queue, which QueuedBytes and Read serve without a system
// call. The data event is reported once when bytes come in and again only
// after the reader has looked at the queue (QueuedBytes finding it empty, or
// a Read); reporting it while unread bytes just sit there would post one
// data-ready message after another. With read-ahead (ExpectBytes) the event
// waits for the bytes the reader still needs; see platform.h. While the
// reader waits in the driver it watches the line itself (WaitAsReader) and
// the event thread stands aside: one thread's wake-up per data event.
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
                                                       platform::OpenStatus* status);

}  // namespace zeva::posix
