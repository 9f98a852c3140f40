// What the device services share: the error module their failure reports
// use, the retries and the pauses they make.
#pragma once

#include <cstdint>

#include "services/service_state.h"
#include "core/errors.h"
#include "runtime/wait.h"
#include "transact/transmitter.h"

namespace zeva::services {

// Busy answers are retried this many times after the first, so at most four
// transmissions (or requests) are made per call.
inline constexpr int32_t kBusyRetries = 3;

// A pause that keeps serving the client thread's messages.
inline void Pause(services::ServiceState& ctx, uint32_t ms) { WaitForFlags(ctx, ms, 0); }

inline void BusyPause(services::ServiceState& ctx) {
  Pause(ctx, BusyTimeoutMs(ctx));
}

// What an attempt's answer asks of RetryWhileBusy.
enum class Retry : uint8_t {
  kNo,          // the answer stands
  kAfterPause,  // the channel was busy: try again after a BusyPause
  kAtOnce,      // try again without a pause
};

inline Retry RetryIfBusy(TransmitResult sent) { return sent == kTxBusy ? Retry::kAfterPause : Retry::kNo; }

// Makes the first attempt and, while `retryOf` the answer asks for it, up to
// `retries` more. A busy answer is followed by a BusyPause, the last one too:
// the caller gives up only after the channel had that time to free itself.
// Returns the last answer.
template <typename Attempt, typename RetryOf>
auto RetryWhileBusy(services::ServiceState& ctx, Attempt attempt, RetryOf retryOf, int32_t retries = kBusyRetries) {
  auto answer = attempt();
  for (int32_t retry = 0;; ++retry) {
    const Retry next = retryOf(answer);
    if (next == Retry::kNo) return answer;
    if (next == Retry::kAfterPause) BusyPause(ctx);
    if (retry == retries) return answer;
    answer = attempt();
  }
}

// How long a request waits for its answer.
inline uint32_t ReplyWaitMs(const services::ServiceState& ctx) {
  return 2u * PacketTimeoutMs(ctx);
}

}  // namespace zeva::services
