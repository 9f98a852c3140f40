// Window handles, messages and the window-system calls the driver uses, by
// their Win32 names. On Windows they are the system's own; on POSIX they come
// from the library's small window system (include/zeva232_posix.h).
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "zeva232_posix.h"
#endif
