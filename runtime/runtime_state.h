// The runtime's state: the serial channel (the port, its event thread, the
// receive accumulator), the client window bridge, the client callbacks and
// the echo of the station's own writes.
//
// The channel and the bridge are the runtime's alone: their types are
// complete only in runtime/ (runtime/channel.h, runtime/window_bridge.h, which
// scripts/check-layers keeps out of every other folder), so the layers above
// reach them only through the runtime's functions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/core_state.h"
#include "link/echo_tracker.h"
#include "zeva232.h"

namespace zeva {

// The client's callbacks, in the order SetCallbackEvents takes them, typed
// as the public header declares them.
struct ClientCallbacks {
  ZEVA_ON_LINE_ERROR onLineError = nullptr;
  ZEVA_ON_DATA_RECEIVED onDataReceived = nullptr;
  ZEVA_ON_MAP_PROGRESS onMapProgress = nullptr;
  ZEVA_ON_DEVICE_FOUND onDeviceFound = nullptr;
  ZEVA_ON_FIRMWARE_INFO onFirmwareInfo = nullptr;
  ZEVA_ON_REMOTE_ERROR onRemoteError = nullptr;
  ZEVA_ON_PROGRESS onProgress = nullptr;
  ZEVA_ON_QUERY_REPLY onQueryReply = nullptr;
  ZEVA_ON_PROGRAM_DONE onProgramDone = nullptr;
  ZEVA_ON_DRIVER_ERROR onDriverError = nullptr;
};

namespace runtime {

struct Channel;       // runtime/channel.h
struct WindowBridge;  // runtime/window_bridge.h

// The one call the runtime makes up into the layer above: what the bridge
// runs when a data event reaches the client window (the receive loop). The
// composition root wires it; the runtime knows only this signature.
struct DataReadyHandler {
  void (*run)(void* receiver) = nullptr;
  void* receiver = nullptr;
};

// The optional frame trace for tools: called for every frame in and every
// write out (frames, acknowledgements, raw bytes, test streams).
// direction: 0 out, 1 in.
using FrameTrace = std::function<void(int direction, const uint8_t* bytes, int32_t n)>;

class RuntimeState {
 public:
  explicit RuntimeState(core::CoreState& core);
  ~RuntimeState();
  RuntimeState(const RuntimeState&) = delete;
  RuntimeState& operator=(const RuntimeState&) = delete;

  core::CoreState& core;
  ClientCallbacks callbacks;
  // The station's own writes coming back; nullptr when its memory could not
  // be had at the start.
  std::unique_ptr<link::EchoTracker> echo;
  FrameTrace trace;
  DataReadyHandler dataReady;

  // nullptr when the channel's memory could not be had at the start.
  Channel* channel() const { return channel_.get(); }
  WindowBridge& bridge() const { return *bridge_; }

  operator core::CoreState&() { return core; }
  operator const core::CoreState&() const { return core; }

 private:
  friend void StartRuntime(RuntimeState& rt);
  friend void ReleaseChannel(RuntimeState& rt);
  std::unique_ptr<Channel> channel_;
  std::unique_ptr<WindowBridge> bridge_;
};

// The runtime at the library's start: no window, no port, a fresh channel
// and echo tracker (a box tells when their memory could not be had). And
// its end: the port closed, the bridge detached, the channel released.
void StartRuntime(RuntimeState& rt);
void StopRuntime(RuntimeState& rt);

}  // namespace runtime
}  // namespace zeva
