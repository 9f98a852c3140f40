// Window handles, messages and the window-system calls the driver uses, by
// their Win32 names. On Windows they are the system's own; on POSIX they come
// from the library's small window system (include/zeva232_posix.h).
#pragma once

#if defined(_WIN32)
#include "platform/win32/windows_api.h"
// A window procedure in the system's convention (__stdcall on i686).
#define ZEVA_WINDOW_PROC CALLBACK
#else
#include "zeva232_posix.h"
#define ZEVA_WINDOW_PROC
#endif
