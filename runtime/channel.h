// The serial channel's record; the runtime's own (see runtime_state.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "link/byte_queue.h"
#include "platform/platform.h"
#include "runtime/runtime_state.h"

namespace zeva::runtime {

struct Channel {
  // The open port, as both threads see it: the one record of "the port is
  // open". nullptr is the closed value and tells the event thread to stop.
  // Atomic because the client thread writes it while the event thread reads
  // it.
  std::atomic<platform::SerialPort*> port{nullptr};
  // Owns what `port` points to; outlives the event thread.
  std::unique_ptr<platform::SerialPort> device;
  std::unique_ptr<platform::EventThread> eventThread;
  std::function<void(uint32_t)> eventHandler;
  std::unique_ptr<link::ByteQueue> rx;  // the receive accumulator
};

// Lets the channel go (the library's end; a test: memory that could not be
// had). The port must be closed.
void ReleaseChannel(RuntimeState& rt);

}  // namespace zeva::runtime
