// The client window bridge: the registered event message, the subclassed
// client window, the client callbacks and the error policy.
#pragma once

#include <cstdint>

#include "runtime/runtime_state.h"
#include "core/errors.h"

namespace zeva {

inline constexpr const char* kEventMessageName = "JV_ZEVA232_EVENTS";

// Client events, carried in wParam of the event message.
inline constexpr WPARAM EVT_LINE_ERROR = 1;
inline constexpr WPARAM EVT_DATA_READY = 2;
inline constexpr WPARAM EVT_DRIVER_ERROR = 3;

void AttachWindowBridge(runtime::RuntimeState& ctx);
void DetachWindowBridge(runtime::RuntimeState& ctx);
// Makes `window` the client window. While the bridge is attached to another
// window, that window first gets its own procedure back, so the driver's
// procedure never stays on a window the driver no longer tracks.
void SwitchClientWindow(runtime::RuntimeState& ctx, HWND window);
// The client window; nullptr when none is set.
HWND ClientWindow(const runtime::RuntimeState& ctx);
// Whether `window` is a live window.
bool WindowExists(HWND window);

// The subclass procedure installed on the client window: finds the context
// attached to `window` and runs BridgeWindowProc for it. The window system
// calls it, so nothing may be thrown out of it.
LRESULT ZEVA_WINDOW_PROC BridgeWindowProcEntry(HWND window, unsigned message, WPARAM wParam,
                                               LPARAM lParam) noexcept;
// What the subclass procedure does for `ctx`.
LRESULT BridgeWindowProc(runtime::RuntimeState& ctx, HWND window, unsigned message, WPARAM wParam,
                         LPARAM lParam);

// The handler the event thread calls with each comm event mask.
void CommEventHandler(runtime::RuntimeState& ctx, uint32_t mask);

// Exports.
void SetCallbackEvents(runtime::RuntimeState& ctx, const ClientCallbacks& callbacks);
void SetClientHWND(runtime::RuntimeState& ctx, HWND window);

// The error policy: a message box with `text` and `icon`, or (post-only, or
// message boxes switched off) EVT_DRIVER_ERROR with `code` posted to the
// client.
void ReportDriverError(runtime::RuntimeState& ctx, int32_t code, const char* text, bool postOnly,
                       unsigned icon = MB_ICONERROR);
// Posts EVT_DRIVER_ERROR with `code` to the client window when one is set.
void PostDriverError(runtime::RuntimeState& ctx, int32_t code);

// The callback gate: calls the client's callback unless events are frozen or
// the slot is empty. Usage: Notify(ctx, &ClientCallbacks::onProgress, 50, "x");
template <typename Fn, typename... Args>
void Notify(runtime::RuntimeState& ctx, Fn ClientCallbacks::*slot, Args&&... args) {
  Fn fn = ctx.callbacks.*slot;
  if (ctx.core.switches.eventsFrozen != 0 || fn == nullptr) return;
  fn(static_cast<Args&&>(args)...);
}

}  // namespace zeva
