#include "platform/window_link.h"

namespace zeva::platform {

WNDPROC LinkWindowProc(HWND window, WNDPROC proc) {
  return reinterpret_cast<WNDPROC>(SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

// The window system has no link outside the slot: a procedure installed
// after the driver's keeps it, and the slot is left alone then.
void UnlinkWindowProc(HWND window, WNDPROC proc, WNDPROC next) {
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC)) != proc) return;
  SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(next));
}

LRESULT CallNextWindowProc(WNDPROC next, HWND window, unsigned message, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcA(next, window, message, wParam, lParam);
}

// The window system's handles are checked against its table; which thread
// serves a window is the client's business there.
bool IsWindowOfThisThread(HWND window) { return window != nullptr; }

}  // namespace zeva::platform
