#include "platform/posix/serial_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/last_error.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/prefix.h"
#include "platform/posix/termios_line.h"
#include "platform/posix/termios_port.h"

namespace zeva::posix {
namespace {

using platform::SerialStatus;
using Code = SerialStatus::Code;

bool MakeWakePipe(int ends[2]) {
  if (pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK);
    fcntl(ends[i], F_SETFD, FD_CLOEXEC);
  }
  return true;
}

}  // namespace

std::string ComDevicePath(int portNumber) {
  const std::string link = ZevaPrefix() + "/dosdevices/com" + std::to_string(portNumber);
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) return link;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::unique_ptr<platform::SerialPort> OpenSerialDevice(const std::string& path, const platform::SerialConfig& config,
                                                       SerialStatus* status) {
  *status = SerialStatus::Of(Code::kCannotOpen);
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  if (!TakeExclusive(fd)) {
    close(fd);
    return nullptr;
  }
  if (!ConfigureLine(fd, config)) {
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    *status = SerialStatus::Of(Code::kConfigFailed);
    return nullptr;
  }
  LowerModemLines(fd);
  int wake[2];
  int readerWake[2];
  if (!MakeWakePipe(wake)) {
    SetLastErrorFromErrno();
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    return nullptr;
  }
  if (!MakeWakePipe(readerWake)) {
    SetLastErrorFromErrno();
    (void)ioctl(fd, TIOCNXCL);
    for (int open : {fd, wake[0], wake[1]}) close(open);
    return nullptr;
  }
  tcflush(fd, TCIOFLUSH);
  *status = SerialStatus::Ok();
  return std::make_unique<TermiosPort>(fd, wake, readerWake, config);
}

std::unique_ptr<platform::SerialPort> OpenSerialPort(int portNumber, const platform::SerialConfig& config,
                                                     SerialStatus* status) {
  return OpenSerialDevice(ComDevicePath(portNumber), config, status);
}

}  // namespace zeva::posix
