// What the termios port needs beyond POSIX termios: arbitrary bit rates and
// the counters of line errors. Kept apart because the kernel's termios
// definitions needed for them clash with the C library's <termios.h>.
#pragma once

#include <cstdint>

namespace zeva::posix {

// Sets a bit rate that has no Bxxx constant. False when the system has no
// such facility or refuses the rate.
bool SetArbitraryRate(int fd, int32_t bps);

// The rate the line is set to, in bits per second; 0 when unknown.
int32_t LineRate(int fd);

// The sum of the line's framing, parity, overrun and break counters. False
// when the device keeps none (a pseudo-terminal, for example).
bool LineErrorCount(int fd, uint64_t* count);

// Sets the count of bytes a read or poll of the terminal waits for (VMIN),
// with one system call where the system allows: the settings are read once,
// at the first change, and kept (`state`, one per open terminal; only this
// changes them while it is open). The C library's tcsetattr reads them
// around each write, three calls per change.
struct ReadMinimumState {
  alignas(8) unsigned char settings[64] = {};
  bool known = false;
};
bool SetReadMinimum(int fd, ReadMinimumState* state, unsigned char bytes);

}  // namespace zeva::posix
