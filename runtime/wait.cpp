#include "runtime/wait.h"

#include "runtime/bridge.h"
#include "runtime/channel.h"

namespace zeva {
namespace {

constexpr uint32_t kLongestStepMs = 0x7FFFFFFF;

// The deadline D = S + T modulo 2^32. When D wrapped below S, no timeout is
// decided until the tick count itself has wrapped (fallen below S).
struct Deadline {
  uint32_t start;
  uint32_t end;
  bool wrapPending;

  bool Passed(uint32_t now) {
    if (wrapPending) {
      if (now < start) wrapPending = false;
      return false;
    }
    return now > end;
  }
};

// A WM_QUIT that the wait takes from the queue belongs to the client's own
// loop: it is posted again, with its code, when the wait ends.
class QuitKeeper {
 public:
  ~QuitKeeper() {
    if (kept_) PostQuitMessage(code_);
  }
  void Keep(WPARAM code) {
    kept_ = true;
    code_ = static_cast<int>(code);
  }

 private:
  bool kept_ = false;
  int code_ = 0;
};

}  // namespace

ReaderWatch::ReaderWatch(runtime::RuntimeState& ctx) : ctx_(ctx), port_(Port()) {
  if (port_ != nullptr) port_->BeginReaderWatch();
}

ReaderWatch::~ReaderWatch() {
  if (port_ != nullptr && Port() == port_) port_->EndReaderWatch();
}

platform::SerialPort* ReaderWatch::Port() const {
  return ctx_.channel() ? ctx_.channel()->port.load() : nullptr;
}

void ReaderWatch::WaitForMessageOrTick(uint32_t tick) {
  platform::SerialPort* port = Port();
  if (port != nullptr && port == port_) {
    const platform::SerialPort::ReaderWait wait = port->WaitAsReader(tick);
    if (wait.watched) {
      if (wait.events != 0) CommEventHandler(ctx_, wait.events);
      return;
    }
  }
  ctx_.core.platform.WaitForMessageOrTick(tick);
}

int WaitForFlags(runtime::RuntimeState& ctx, uint32_t timeoutMs, uint32_t mask) {
  platform::Platform& p = ctx.core.platform;
  const uint32_t start = p.TickCount();
  Deadline deadline{start, start + timeoutMs, start + timeoutMs < start};
  QuitKeeper quit;
  ReaderWatch watch(ctx);
  for (;;) {
    const uint32_t now = p.TickCount();
    if (deadline.Passed(now)) return 1;
    if (mask != 0 && ctx.core.flags.AllSet(mask)) return 0;
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (GetMessageA(&msg, nullptr, 0, 0) == 0) {
        quit.Keep(msg.wParam);
        continue;
      }
      DispatchMessageA(&msg);
      continue;
    }
    // Nothing queued: block until a message comes or the tick after the
    // deadline (while a wrap is pending, until the counter wraps), in steps
    // short enough for the platform's modular tick comparison.
    uint32_t remaining = deadline.wrapPending ? 0u - now : deadline.end - now + 1;
    if (remaining == 0 || remaining > kLongestStepMs) remaining = kLongestStepMs;
    watch.WaitForMessageOrTick(now + remaining);
  }
}

}  // namespace zeva
