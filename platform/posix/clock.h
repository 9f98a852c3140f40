// The system tick count on POSIX.
#pragma once

#include <chrono>
#include <cstdint>

namespace zeva::posix {

// Milliseconds of the steady clock below, wrapping modulo 2^32 like
// GetTickCount.
uint32_t MonotonicTickCount();

// The serial port's clocks: the steady clock in micro- and milliseconds.
inline int64_t SteadyNowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
inline int64_t SteadyNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace zeva::posix
