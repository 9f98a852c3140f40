// Test-only, Win32: the few names of the POSIX window system that the tests
// use, over the real Win32 window system. A "message window" is a
// message-only window (HWND_MESSAGE parent) with the given procedure, and
// the box hook is the test platform's (the driver's boxes go through the
// platform, never to a modal window here).
#pragma once

#include "zeva232.h"

typedef int (*ZEVA_MESSAGEBOX_HOOK)(const char* text, const char* caption, unsigned type);

inline HWND CreateMessageWindow(WNDPROC proc) {
  if (proc == nullptr) return nullptr;
  static const ATOM windowClass = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ZevaTestMessageWindow";
    return RegisterClassA(&wc);
  }();
  HWND window = CreateWindowExA(0, MAKEINTATOM(windowClass), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  if (window != nullptr) SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
  return window;
}

// The test platform's box hook (window_compat.cpp).
ZEVA_MESSAGEBOX_HOOK SetMessageBoxHook(ZEVA_MESSAGEBOX_HOOK hook);
