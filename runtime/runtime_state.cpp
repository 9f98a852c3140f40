#include "runtime/runtime_state.h"

#include <new>

#include "core/errors.h"
#include "runtime/bridge.h"
#include "runtime/channel.h"
#include "runtime/port.h"
#include "runtime/window_bridge.h"

namespace zeva::runtime {
namespace {

void StartBox(RuntimeState& rt, const char* text) { rt.core.platform.ShowBox(text, kDriverCaption, MB_ICONERROR); }

// The channel with its receive accumulator: complete or none.
std::unique_ptr<Channel> BuildChannel(RuntimeState& rt) {
  std::unique_ptr<Channel> channel(new (std::nothrow) Channel);
  if (!channel) {
    StartBox(rt, kTextNoMemoryForPort);
    return nullptr;
  }
  channel->rx.reset(new (std::nothrow) link::ByteQueue);
  if (!channel->rx) {
    StartBox(rt, kTextNoMemoryForInput);
    return nullptr;
  }
  return channel;
}

}  // namespace

RuntimeState::RuntimeState(core::CoreState& core) : core(core), bridge_(new WindowBridge) {}
RuntimeState::~RuntimeState() = default;

void StartRuntime(RuntimeState& rt) {
  WindowBridge& bridge = rt.bridge();
  bridge.clientWindow = nullptr;
  bridge.savedWindowProc = nullptr;
  bridge.subclassedWindow = nullptr;
  bridge.eventMessageId = 0;
  rt.channel_.reset();
  rt.channel_ = BuildChannel(rt);
  rt.echo.reset(new (std::nothrow) link::EchoTracker(rt.core.flags));
}

void StopRuntime(RuntimeState& rt) {
  CloseCOM(rt);
  DetachWindowBridge(rt);
  rt.echo.reset();
  ReleaseChannel(rt);
}

void ReleaseChannel(RuntimeState& rt) { rt.channel_.reset(); }

}  // namespace zeva::runtime
