// The driver's link in a client window's chain of window procedures, and
// the owner check of a client window.
//
// A client may subclass its window after the driver did, and restore what
// it saved later. So the driver's link must come out of the chain wherever
// it sits, without dropping a procedure installed after it, and must stay
// callable (forwarding) as long as anybody may still call it, also after
// the library is gone. Win32 builds the link outside the library's image;
// the POSIX window system replaces the procedure slot.
#pragma once

#include "platform/win_types.h"

namespace zeva::platform {

// The last message a window receives (its handle is invalid afterwards).
inline constexpr unsigned kWmNcDestroy = 0x0082;

// Puts `proc` on top of `window`'s chain. Returns the procedure that comes
// after it, to be called with CallNextWindowProc, or nullptr when the
// window could not be subclassed (nothing changed then).
WNDPROC LinkWindowProc(HWND window, WNDPROC proc);
// Takes the link of `proc` (installed by LinkWindowProc, which returned
// `next`) out of `window`'s chain: when it is on top, `next` becomes the
// window's procedure again; when a later subclass sits above it, the link
// stays where it is and from now on only passes every message to `next`.
void UnlinkWindowProc(HWND window, WNDPROC proc, WNDPROC next);
// Calls the procedure after the driver's link, in the window's own
// character set (a Unicode window keeps its Unicode messages).
LRESULT CallNextWindowProc(WNDPROC next, HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
// True when `window` exists and belongs to the calling thread, and that
// thread can start the event thread now (Win32: it is not inside the
// loader, in a DllMain). The driver serves a window's events on the thread
// that calls it, so OpenCOM refuses any other window.
bool IsWindowOfThisThread(HWND window);

}  // namespace zeva::platform
