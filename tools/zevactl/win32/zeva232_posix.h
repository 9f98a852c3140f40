// zevactl on Win32: the few POSIX window-system names the tool uses, over
// the system's own window system. The window is a message-only window. The
// driver's message boxes are the system's (the tool sets SetNoErrMsgBox, so
// only the always-shown boxes appear), so there is no hook to install.
#pragma once

#include "zeva232.h"

typedef int (*ZEVA_MESSAGEBOX_HOOK)(const char* text, const char* caption, unsigned type);

inline ZEVA_MESSAGEBOX_HOOK SetMessageBoxHook(ZEVA_MESSAGEBOX_HOOK) { return nullptr; }

inline HWND CreateMessageWindow(WNDPROC proc) {
  if (proc == nullptr) return nullptr;
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "ZevactlClient";
  RegisterClassA(&wc);
  return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

// Saving the settings needs an elevated process on Windows; the driver
// checks that itself and says so, so the tool's own root check passes.
inline int geteuid() { return 0; }
