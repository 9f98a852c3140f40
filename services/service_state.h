// The device services' state: the last download's result and the bus map's
// marks.
#pragma once

#include <cstdint>

#include "transact/transact_state.h"

namespace zeva::services {

class ServiceState {
 public:
  explicit ServiceState(transact::TransactState& tx) : transact(tx), runtime(tx.runtime), core(tx.core) {}
  ServiceState(const ServiceState&) = delete;
  ServiceState& operator=(const ServiceState&) = delete;

  transact::TransactState& transact;
  runtime::RuntimeState& runtime;
  core::CoreState& core;

  int32_t lastProgramError = 0;
  uint8_t mapRunning = 0;
  uint8_t mapAbortRequested = 0;

  operator transact::TransactState&() { return transact; }
  operator const transact::TransactState&() const { return transact; }
  operator runtime::RuntimeState&() { return runtime; }
  operator const runtime::RuntimeState&() const { return runtime; }
  operator core::CoreState&() { return core; }
  operator const core::CoreState&() const { return core; }
};

}  // namespace zeva::services
