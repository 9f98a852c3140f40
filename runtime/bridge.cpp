#include "runtime/bridge.h"

#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "core/guard.h"
#include "platform/window_link.h"
#include "runtime/port.h"

namespace zeva {
namespace {

// The subclass procedure is a plain window procedure, so it finds its
// driver context through the window it was called for.
class BridgeTable {
 public:
  bool Add(HWND window, DriverContext* ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    return contexts_.emplace(window, ctx).second;
  }
  void Remove(HWND window, const DriverContext* ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = contexts_.find(window);
    if (it != contexts_.end() && it->second == ctx) contexts_.erase(it);
  }
  DriverContext* Find(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = contexts_.find(window);
    return it == contexts_.end() ? nullptr : it->second;
  }

 private:
  std::mutex mutex_;
  std::map<HWND, DriverContext*> contexts_;
};

BridgeTable& Bridges() {
  static BridgeTable* table = new BridgeTable;  // outlives every context
  return *table;
}

void PostEvent(DriverContext& ctx, HWND window, WPARAM event, LPARAM lParam) {
  const unsigned id = ctx.eventMessageId.load();
  // A post that fails loses this event only: the port reports unread bytes
  // again after a while.
  if (window != nullptr && id != 0) PostMessageA(window, id, event, lParam);
}

// The client window from now on. A data event already posted went to the
// window before (or, once the bridge was gone, to the client's own
// procedure), so the port is to report its unread bytes anew: to the new
// window, or, with none, to be discarded.
void SetClientWindow(DriverContext& ctx, HWND window) {
  if (ctx.clientWindow.exchange(window) == window || !ctx.portContext) return;
  if (platform::SerialPort* port = ctx.portContext->port.load()) port->RenewDataEvent();
}

// Without a client window nobody would read the input, so the event thread
// reads and discards it to keep the queue from filling.
void DrainInput(DriverContext& ctx) {
  uint8_t discard[11];
  while (ReadBytes(ctx, discard, static_cast<int32_t>(sizeof discard)) > 0) {
  }
}

void HandleEvent(DriverContext& ctx, WPARAM event, LPARAM lParam) {
  switch (event) {
    case EVT_LINE_ERROR:
      Notify(ctx, &ClientCallbacks::onLineError);
      break;
    case EVT_DATA_READY:
      if (ctx.portContext && ctx.dataReady != nullptr) ctx.dataReady(ctx);
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

void AttachWindowBridge(DriverContext& ctx) {
  const HWND window = ctx.clientWindow.load();
  if (window == nullptr) return;
  if (ctx.eventMessageId.load() == 0) ctx.eventMessageId = RegisterWindowMessageA(kEventMessageName);
  if (ctx.savedWindowProc != nullptr) return;
  // A window already bridged for another context is left alone: subclassing
  // it again would save the bridge as its own previous procedure.
  if (!Bridges().Add(window, &ctx)) return;
  const WNDPROC previous = platform::LinkWindowProc(window, &BridgeWindowProcEntry);
  if (previous == nullptr) {
    Bridges().Remove(window, &ctx);
    return;
  }
  ctx.savedWindowProc = previous;
  ctx.subclassedWindow = window;
}

void DetachWindowBridge(DriverContext& ctx) {
  if (ctx.savedWindowProc != nullptr) {
    // Only the driver's link leaves the chain: a subclass the client put
    // on top of it afterwards stays.
    platform::UnlinkWindowProc(ctx.subclassedWindow, &BridgeWindowProcEntry, ctx.savedWindowProc);
    Bridges().Remove(ctx.subclassedWindow, &ctx);
  }
  SetClientWindow(ctx, nullptr);
  ctx.savedWindowProc = nullptr;
  ctx.subclassedWindow = nullptr;
}

void SwitchClientWindow(DriverContext& ctx, HWND window) {
  if (ctx.savedWindowProc != nullptr && ctx.subclassedWindow != window) DetachWindowBridge(ctx);
  SetClientWindow(ctx, window);
}

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
    DriverContext* ctx = Bridges().Find(window);
    if (ctx == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return BridgeWindowProc(*ctx, window, message, wParam, lParam);
  });
}

LRESULT BridgeWindowProc(DriverContext& ctx, HWND window, unsigned message, WPARAM wParam,
                         LPARAM lParam) {
  if (message == WM_DESTROY && ctx.savedWindowProc == nullptr) PostQuitMessage(0);
  const unsigned eventId = ctx.eventMessageId.load();
  const bool isEvent = eventId != 0 && message == eventId;
  if (isEvent) HandleEvent(ctx, wParam, lParam);
  // The window's last message: the driver forgets it, so that no stale
  // entry later meets its handle reused by another window.
  if (message == platform::kWmNcDestroy && window == ctx.subclassedWindow) {
    const WNDPROC next = ctx.savedWindowProc;
    DetachWindowBridge(ctx);
    return platform::CallNextWindowProc(next, window, message, wParam, lParam);
  }
  // Read again: the event's handling may have detached the bridge.
  if (ctx.savedWindowProc != nullptr) {
    return platform::CallNextWindowProc(ctx.savedWindowProc, window, message, wParam, lParam);
  }
  return isEvent ? DefWindowProcA(window, message, wParam, lParam) : 0;
}

void CommEventHandler(DriverContext& ctx, uint32_t mask) {
  if ((mask & (platform::kEvRxChar | platform::kEvRxFlag)) != 0) {
    const HWND window = ctx.clientWindow.load();
    if (window != nullptr) {
      PostEvent(ctx, window, EVT_DATA_READY, 0);
    } else {
      DrainInput(ctx);
    }
  }
  if ((mask & platform::kEvErr) != 0) PostEvent(ctx, ctx.clientWindow.load(), EVT_LINE_ERROR, 0);
}

void SetCallbackEvents(DriverContext& ctx, const ClientCallbacks& callbacks) { ctx.callbacks = callbacks; }

void SetClientHWND(DriverContext& ctx, HWND window) {
  if (window == nullptr) DetachWindowBridge(ctx);
  SwitchClientWindow(ctx, window);
}

void ReportDriverError(DriverContext& ctx, int32_t code, const char* text, bool postOnly, unsigned icon) {
  if (postOnly || ctx.switches.noErrMsgBox != 0) {
    PostDriverError(ctx, code);
    return;
  }
  ctx.platform.ShowBox(text, kDriverCaption, icon);
}

void PostDriverError(DriverContext& ctx, int32_t code) {
  PostEvent(ctx, ctx.clientWindow.load(), EVT_DRIVER_ERROR, static_cast<LPARAM>(code));
}

}  // namespace zeva
