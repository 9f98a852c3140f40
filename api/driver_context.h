// The driver context: the composition of every layer's state. The exported
// functions reach the process's single instance (api/instance.h); each
// function below takes only the state of its own layer (which reaches the
// layers below it), so a test builds a fresh context over a test platform
// and never touches process-global state.
#pragma once

#include "core/core_state.h"
#include "runtime/runtime_state.h"
#include "services/service_state.h"
#include "transact/transact_state.h"

namespace zeva {

class DriverContext {
 public:
  explicit DriverContext(platform::Platform& platform)
      : core(platform), runtime(core), transact(runtime), services(transact) {}
  DriverContext(const DriverContext&) = delete;
  DriverContext& operator=(const DriverContext&) = delete;

  core::CoreState core;
  runtime::RuntimeState runtime;
  transact::TransactState transact;
  services::ServiceState services;

  operator services::ServiceState&() { return services; }
  operator const services::ServiceState&() const { return services; }
  operator transact::TransactState&() { return transact; }
  operator const transact::TransactState&() const { return transact; }
  operator runtime::RuntimeState&() { return runtime; }
  operator const runtime::RuntimeState&() const { return runtime; }
  operator core::CoreState&() { return core; }
  operator const core::CoreState&() const { return core; }
};

}  // namespace zeva
