// Linux: termios2 with BOTHER for arbitrary rates, TIOCGICOUNT for errors.
// This file must not see <termios.h>: <asm/termbits.h> defines its own
// struct termios.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cstring>

#include "platform/posix/serial_line.h"

namespace zeva::posix {

bool SetArbitraryRate(int fd, int32_t bps) {
  if (bps <= 0) return false;
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(bps);
  tio.c_ospeed = static_cast<speed_t>(bps);
  return ioctl(fd, TCSETS2, &tio) == 0;
}

int32_t LineRate(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return static_cast<int32_t>(tio.c_ospeed);
}

bool LineErrorCount(int fd, uint64_t* count) {
  struct serial_icounter_struct counters {};
  if (ioctl(fd, TIOCGICOUNT, &counters) != 0) return false;
  *count = static_cast<uint64_t>(counters.frame) + static_cast<uint64_t>(counters.parity) +
           static_cast<uint64_t>(counters.overrun) + static_cast<uint64_t>(counters.brk) +
           static_cast<uint64_t>(counters.buf_overrun);
  return true;
}

bool SetReadMinimum(int fd, ReadMinimumState* state, unsigned char bytes) {
  static_assert(sizeof(struct termios2) <= sizeof state->settings);
  struct termios2 tio {};
  if (state->known) {
    std::memcpy(&tio, state->settings, sizeof tio);
  } else if (ioctl(fd, TCGETS2, &tio) != 0) {
    return false;
  }
  tio.c_cc[VMIN] = bytes;
  if (ioctl(fd, TCSETS2, &tio) != 0) return false;
  std::memcpy(state->settings, &tio, sizeof tio);
  state->known = true;
  return true;
}

}  // namespace zeva::posix
