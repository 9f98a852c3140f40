// What the device services share: the texts of their failure reports, the
// pauses they make, and the codes of the driver error table they use.
#pragma once

#include <cstdint>

#include "core/driver_context.h"
#include "runtime/wait.h"
#include "transact/transmitter.h"

namespace zeva::services {

// Driver error codes with the texts the services show for them. The busy
// text differs from the table's on purpose: the box says "still busy"
// because the service has already retried.
inline constexpr int32_t kErrSendFailed = 2;
inline constexpr const char* kTextSendFailed = "Cannot send data over the network";
inline constexpr int32_t kErrChannelBusy = 3;
inline constexpr const char* kTextChannelBusy = "Cannot send data over the network, channel still busy";
inline constexpr int32_t kErrPermanentFailure = 4;
inline constexpr const char* kTextPermanentFailure = "Cannot send data over the network, permanent failure";
inline constexpr int32_t kErrRestartFailed = 5;
inline constexpr const char* kTextRestartFailed = "Cannot restart devices";
inline constexpr int32_t kErrCannotOpen = 6;
inline constexpr const char* kTextCannotOpen = "Can't open device communication channel";
inline constexpr int32_t kErrNoResponse = 7;
inline constexpr const char* kTextNoResponse = "The device does not respond, address ID might not be set";
inline constexpr int32_t kErrSerialMismatch = 8;
inline constexpr const char* kTextSerialMismatch =
    "Device not found (serial mismatch), please check out serial code; an other device has the same "
    "address ID.";
inline constexpr int32_t kErrWrongProduct = 9;
inline constexpr const char* kTextWrongProduct = "Destination device is not valid for this program!";
inline constexpr int32_t kErrVersionTooLow = 10;
inline constexpr const char* kTextVersionTooLow = "Destination device cannot support this program!";
inline constexpr int32_t kErrTooManyRequests = 12;
inline constexpr const char* kTextTooManyRequests = "Too many requests, requested operation aborted";

// Busy answers are retried this many times after the first, so at most four
// transmissions (or requests) are made per call.
inline constexpr int32_t kBusyRetries = 3;

// A pause that keeps serving the client thread's messages.
inline void Pause(DriverContext& ctx, uint32_t ms) { WaitForFlags(ctx, ms, 0); }

inline void BusyPause(DriverContext& ctx) {
  Pause(ctx, BusyTimeoutMs(ctx));
}

// What an attempt's answer asks of RetryWhileBusy.
enum class Retry : uint8_t {
  kNo,          // the answer stands
  kAfterPause,  // the channel was busy: try again after a BusyPause
  kAtOnce,      // try again without a pause
};

inline Retry RetryIfBusy(TransmitResult sent) { return sent == TX_BUSY ? Retry::kAfterPause : Retry::kNo; }

// Makes the first attempt and, while `retryOf` the answer asks for it, up to
// `retries` more. A busy answer is followed by a BusyPause, the last one too:
// the caller gives up only after the channel had that time to free itself.
// Returns the last answer.
template <typename Attempt, typename RetryOf>
auto RetryWhileBusy(DriverContext& ctx, Attempt attempt, RetryOf retryOf, int32_t retries = kBusyRetries) {
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
inline uint32_t ReplyWaitMs(const DriverContext& ctx) {
  return 2u * PacketTimeoutMs(ctx);
}

}  // namespace zeva::services
