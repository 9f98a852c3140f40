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

}  // namespace zeva::posix
