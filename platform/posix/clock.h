// The system tick count on POSIX.
#pragma once

#include <cstdint>

namespace zeva::posix {

// Milliseconds of CLOCK_MONOTONIC, wrapping modulo 2^32 like GetTickCount.
uint32_t MonotonicTickCount();

}  // namespace zeva::posix
