#include "runtime/bridge.h"

#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "core/guard.h"
#include "platform/window_link.h"
#include "runtime/channel.h"
#include "runtime/port.h"
#include "runtime/window_bridge.h"

namespace zeva {
namespace {

// The subclass procedure is a plain window procedure, so it finds its
// driver context through the window it was called for.
class BridgeTable {
 public:
  bool Add(HWND window, runtime::RuntimeState* ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    return contexts_.emplace(window, ctx).second;
  }
  void Remove(HWND window, const runtime::RuntimeState* ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = contexts_.find(window);
    if (it != contexts_.end() && it->second == ctx) contexts_.erase(it);
  }
  runtime::RuntimeState* Find(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = contexts_.find(window);
    return it == contexts_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::map<HWND, runtime::RuntimeState*> contexts_;
};

BridgeTable& Bridges() {
  static BridgeTable* table = new BridgeTable;  // outlives every context
  return *table;
}

void PostEvent(runtime::RuntimeState& ctx, HWND window, WPARAM event, LPARAM lParam) {
  const unsigned id = ctx.bridge().eventMessageId.load();
  // A post that fails loses this event only: the port reports unread bytes
  // again after a while.
  if (window != nullptr && id != 0) PostMessageA(window, id, event, lParam);
}

// The client window from now on. A data event already posted went to the
// window before (or, once the bridge was gone, to the client's own
// procedure), so the port is to report its unread bytes anew: to the new
// window, or, with none, to be discarded.
void SetClientWindow(runtime::RuntimeState& ctx, HWND window) {
  if (ctx.bridge().clientWindow.exchange(window) == window || ctx.channel() == nullptr) return;
  if (platform::SerialPort* port = ctx.channel()->port.load()) port->RenewDataEvent();
}

// Without a client window nobody would read the input, so the event thread
// reads and discards it to keep the queue from filling.
void DrainInput(runtime::RuntimeState& ctx) {
  uint8_t discard[11];
  while (ReadBytes(ctx, discard, static_cast<int32_t>(sizeof discard)) > 0) {
  }
}

void HandleEvent(runtime::RuntimeState& ctx, WPARAM event, LPARAM lParam) {
  switch (event) {
    case EVT_LINE_ERROR:
      Notify(ctx, &ClientCallbacks::onLineError);
      break;
    case EVT_DATA_READY:
      if (ctx.channel() != nullptr && ctx.dataReady.run != nullptr) ctx.dataReady.run(ctx.dataReady.receiver);
      break;
    case EVT_DRIVER_ERROR: {
      const auto code = static_cast<int32_t>(lParam);
      // The callback gets its own copy: the client may keep the pointer
      // only for the duration of the call, and must not write the table.
      const std::string text = DriverErrorText(code);
      Notify(ctx, &ClientCallbacks::onDriverError, code, text.c_str());
      break;
    }
    default:
      break;
  }
}

}  // namespace

void AttachWindowBridge(runtime::RuntimeState& ctx) {
  const HWND window = ctx.bridge().clientWindow.load();
  if (window == nullptr) return;
  if (ctx.bridge().eventMessageId.load() == 0) ctx.bridge().eventMessageId = RegisterWindowMessageA(kEventMessageName);
  if (ctx.bridge().savedWindowProc != nullptr) return;
  // A window already bridged for another context is left alone: subclassing
  // it again would save the bridge as its own previous procedure.
  if (!Bridges().Add(window, &ctx)) return;
  const WNDPROC previous = platform::LinkWindowProc(window, &BridgeWindowProcEntry);
  if (previous == nullptr) {
    Bridges().Remove(window, &ctx);
    return;
  }
  ctx.bridge().savedWindowProc = previous;
  ctx.bridge().subclassedWindow = window;
}

void DetachWindowBridge(runtime::RuntimeState& ctx) {
  if (ctx.bridge().savedWindowProc != nullptr) {
    // Only the driver's link leaves the chain: a subclass the client put
    // on top of it afterwards stays.
    platform::UnlinkWindowProc(ctx.bridge().subclassedWindow, &BridgeWindowProcEntry, ctx.bridge().savedWindowProc);
    Bridges().Remove(ctx.bridge().subclassedWindow, &ctx);
  }
  SetClientWindow(ctx, nullptr);
  ctx.bridge().savedWindowProc = nullptr;
  ctx.bridge().subclassedWindow = nullptr;
}

void SwitchClientWindow(runtime::RuntimeState& ctx, HWND window) {
  if (ctx.bridge().savedWindowProc != nullptr && ctx.bridge().subclassedWindow != window) DetachWindowBridge(ctx);
  SetClientWindow(ctx, window);
}

HWND ClientWindow(const runtime::RuntimeState& ctx) { return ctx.bridge().clientWindow.load(); }

// Any window handle answers its procedure; a handle whose window is gone
// (or never was) answers none.
bool WindowExists(HWND window) { return window != nullptr && GetWindowLongPtrA(window, GWLP_WNDPROC) != 0; }

// Installed through the window's procedure slot, so it must be exactly a
// window procedure (noexcept aside): on i686 a mismatch of calling convention
// would unbalance the stack at every message, and no such pointer converts.
static_assert(std::is_convertible_v<decltype(&BridgeWindowProcEntry), WNDPROC>);

// A message whose handling threw (a client callback, a refused allocation)
// counts as handled: 0, as for a message nobody else wanted.
LRESULT ZEVA_WINDOW_PROC BridgeWindowProcEntry(HWND window, unsigned message, WPARAM wParam,
                                               LPARAM lParam) noexcept {
  return Guarded([&] {
    runtime::RuntimeState* ctx = Bridges().Find(window);
    if (ctx == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return BridgeWindowProc(*ctx, window, message, wParam, lParam);
  });
}

LRESULT BridgeWindowProc(runtime::RuntimeState& ctx, HWND window, unsigned message, WPARAM wParam,
                         LPARAM lParam) {
  if (message == WM_DESTROY && ctx.bridge().savedWindowProc == nullptr) PostQuitMessage(0);
  const unsigned eventId = ctx.bridge().eventMessageId.load();
  const bool isEvent = eventId != 0 && message == eventId;
  if (isEvent) HandleEvent(ctx, wParam, lParam);
  // The window's last message: the driver forgets it, so that no stale
  // entry later meets its handle reused by another window.
  if (message == platform::kWmNcDestroy && window == ctx.bridge().subclassedWindow) {
    const WNDPROC next = ctx.bridge().savedWindowProc;
    DetachWindowBridge(ctx);
    return platform::CallNextWindowProc(next, window, message, wParam, lParam);
  }
  // Read again: the event's handling may have detached the bridge.
  if (ctx.bridge().savedWindowProc != nullptr) {
    return platform::CallNextWindowProc(ctx.bridge().savedWindowProc, window, message, wParam, lParam);
  }
  return isEvent ? DefWindowProcA(window, message, wParam, lParam) : 0;
}

void CommEventHandler(runtime::RuntimeState& ctx, uint32_t mask) {
  if ((mask & (platform::kEvRxChar | platform::kEvRxFlag)) != 0) {
    const HWND window = ctx.bridge().clientWindow.load();
    if (window != nullptr) {
      PostEvent(ctx, window, EVT_DATA_READY, 0);
    } else {
      DrainInput(ctx);
    }
  }
  if ((mask & platform::kEvErr) != 0) PostEvent(ctx, ctx.bridge().clientWindow.load(), EVT_LINE_ERROR, 0);
}

void SetCallbackEvents(runtime::RuntimeState& ctx, const ClientCallbacks& callbacks) { ctx.callbacks = callbacks; }

void SetClientHWND(runtime::RuntimeState& ctx, HWND window) {
  if (window == nullptr) DetachWindowBridge(ctx);
  SwitchClientWindow(ctx, window);
}

void ReportDriverError(runtime::RuntimeState& ctx, int32_t code, const char* text, bool postOnly, unsigned icon) {
  if (postOnly || ctx.core.switches.noErrMsgBox != 0) {
    PostDriverError(ctx, code);
    return;
  }
  ctx.core.platform.ShowBox(text, kDriverCaption, icon);
}

void PostDriverError(runtime::RuntimeState& ctx, int32_t code) {
  PostEvent(ctx, ctx.bridge().clientWindow.load(), EVT_DRIVER_ERROR, static_cast<LPARAM>(code));
}

}  // namespace zeva
