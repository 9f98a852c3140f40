// Waiting while the client thread's message queue is served.
#pragma once

#include <cstdint>

#include "runtime/runtime_state.h"

namespace zeva {

// Waits until every flag of a non-empty mask is set (returns 0) or the time
// runs out (returns 1). An empty mask makes it a plain pause (always 1).
// Order of checks: time, then flags, then one message; so flags already set
// on entry end the wait without dispatching anything, and when both hold at
// the same check the time wins. While the queue is empty it blocks on the
// queue until a message arrives or the deadline passes instead of spinning.
int WaitForFlags(runtime::RuntimeState& ctx, uint32_t timeoutMs, uint32_t mask);

// For as long as it lives, the thread that made it watches the line itself
// while it waits in the driver (where the port can), so that what it waits
// for needs no hop through the event thread. Every wait makes one; a call
// that writes and waits more than once makes one around all of it, so the
// line changes hands once per call. Nested ones count as one. The port is
// looked up again at the end: a callback run inside may have closed it.
class ReaderWatch {
 public:
  explicit ReaderWatch(runtime::RuntimeState& ctx);
  ~ReaderWatch();
  ReaderWatch(const ReaderWatch&) = delete;
  ReaderWatch& operator=(const ReaderWatch&) = delete;

  // Waits as Platform::WaitForMessageOrTick does, and hands comm events
  // that came due meanwhile to the event handler, which posts the data
  // event to the client window as the event thread would have.
  void WaitForMessageOrTick(uint32_t tick);

 private:
  platform::SerialPort* Port() const;

  runtime::RuntimeState& ctx_;
  platform::SerialPort* const port_;
};

}  // namespace zeva
