// What the device services share: the error module their failure reports
// use, the retries and the pauses they make.
#pragma once

#include <cstdint>

#include "core/driver_context.h"
#include "core/errors.h"
#include "runtime/wait.h"

namespace zeva::services {

// Busy answers are retried this many times after the first, so at most four
// transmissions (or requests) are made per call.
inline constexpr int32_t kBusyRetries = 3;

// A pause that keeps serving the client thread's messages.
inline void Pause(DriverContext& ctx, uint32_t ms) { WaitForFlags(ctx, ms, 0); }

inline void BusyPause(DriverContext& ctx) {
  Pause(ctx, BusyTimeoutMs(ctx));
}

// How long a request waits for its answer.
inline uint32_t ReplyWaitMs(const DriverContext& ctx) {
  return 2u * PacketTimeoutMs(ctx);
}

}  // namespace zeva::services
