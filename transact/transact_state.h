// The transaction layer's state: the request table, the message Send and
// Query compose, and the marks of a transmission and a receive run in
// progress.
#pragma once

#include <cstdint>
#include <memory>

#include "core/core_state.h"
#include "runtime/runtime_state.h"

namespace zeva {

class RequestTable;  // transact/request_table.h

// Byte positions of the output buffer with a meaning of their own.
inline constexpr int kOutputBufferReserved = 4;  // Query sends it as 0
inline constexpr int kOutputBufferType = 5;

// Whether the receive loop is taking frames off the accumulator: a
// transmission started meanwhile (from a callback it runs) is refused.
enum class ReceiveLoop : uint8_t { kIdle, kRunning };

namespace transact {

class TransactState {
 public:
  explicit TransactState(runtime::RuntimeState& rt);
  ~TransactState();
  TransactState(const TransactState&) = delete;
  TransactState& operator=(const TransactState&) = delete;

  runtime::RuntimeState& runtime;
  core::CoreState& core;

  // nullptr when its memory could not be had at the start.
  std::unique_ptr<RequestTable> requests;
  // The six-byte message Send and Query compose; byte 5 is the type.
  uint8_t outputBuffer[6] = {0, 0, 0, 0, 0, 0};

  // The transmission in progress: its destination (0: none) and the
  // response code its frames wait for.
  uint8_t lastDestination = 0;
  uint8_t awaitedResponseCode = 0;
  ReceiveLoop receiveLoop = ReceiveLoop::kIdle;
  uint8_t rawSendActive = 0;

  operator runtime::RuntimeState&() { return runtime; }
  operator const runtime::RuntimeState&() const { return runtime; }
  operator core::CoreState&() { return core; }
  operator const core::CoreState&() const { return core; }
};

}  // namespace transact
}  // namespace zeva
