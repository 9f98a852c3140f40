// Waiting while the client thread's message queue is served.
#pragma once

#include <cstdint>

#include "core/driver_context.h"

namespace zeva {

// Waits until every flag of a non-empty mask is set (returns 0) or the time
// runs out (returns 1). An empty mask makes it a plain pause (always 1).
// Order of checks: time, then flags, then one message; so flags already set
// on entry end the wait without dispatching anything, and when both hold at
// the same check the time wins. While the queue is empty it blocks on the
// queue until a message arrives or the deadline passes instead of spinning.
int WaitForFlags(DriverContext& ctx, uint32_t timeoutMs, uint32_t mask);

}  // namespace zeva
