// The core's state: the platform the driver runs on, the persisted settings,
// the run-time switches and the status flags. Every layer above reads it;
// each of them keeps its own state in a type of its own (runtime/, transact/,
// services/), which the composition root (api/driver_context.h) puts
// together. A test builds these over a test platform and never touches
// process-global state.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "link/status_flags.h"
#include "platform/platform.h"

namespace zeva {

// Run-time switches (never persisted).
struct Switches {
  int32_t spy = 0;
  int32_t autoReply = 1;  // the automatic reply to a type-0 frame (SetAutoEcho)
  int32_t noAck = 0;
  uint8_t echoCheck = 0;  // on after the start when the adapter is the plain kind (0)
  int32_t noErrMsgBox = 0;
  int32_t eventsFrozen = 0;
  int32_t responseMsg = 0;
};

namespace core {

struct CoreState {
  explicit CoreState(platform::Platform& p) : platform(p) {}
  CoreState(const CoreState&) = delete;
  CoreState& operator=(const CoreState&) = delete;

  platform::Platform& platform;
  Settings settings;
  Switches switches;
  // Set by the receiving side as things arrive, cleared and waited for by
  // the sending side; only the client thread touches them.
  StatusFlags flags;
};

}  // namespace core

// Wait lengths from the settings. A negative one (no setter or load makes
// one) would make an unsigned wait of weeks: it counts as no wait at all.
inline uint32_t PacketTimeoutMs(const core::CoreState& core) {
  return core.settings.packetTimeout < 0 ? 0u : static_cast<uint32_t>(core.settings.packetTimeout);
}
inline uint32_t BusyTimeoutMs(const core::CoreState& core) {
  return core.settings.busyTimeout < 0 ? 0u : static_cast<uint32_t>(core.settings.busyTimeout);
}

}  // namespace zeva
