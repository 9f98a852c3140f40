#include "platform/posix/clock.h"

namespace zeva::posix {

// From the steady clock that also times the port's waits, so that a wait
// for a tick ends when the tick count turns (platform::TickReachedUs).
uint32_t MonotonicTickCount() { return static_cast<uint32_t>(SteadyNowMs()); }

}  // namespace zeva::posix
