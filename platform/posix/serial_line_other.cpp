// Systems without arbitrary rates or error counters: standard rates only,
// no line-error events.
#include "platform/posix/serial_line.h"

#include <termios.h>

namespace zeva::posix {

bool SetArbitraryRate(int fd, int32_t bps) {
  (void)fd;
  (void)bps;
  return false;
}

int32_t LineRate(int fd) {
  (void)fd;
  return 0;
}

bool LineErrorCount(int fd, uint64_t* count) {
  (void)fd;
  (void)count;
  return false;
}

bool SetReadMinimum(int fd, ReadMinimumState* state, unsigned char bytes) {
  (void)state;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  tio.c_cc[VMIN] = bytes;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace zeva::posix
