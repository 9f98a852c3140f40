// The platform's one clock on Win32, and waits timed by it.
//
// GetTickCount moves in steps of the system tick (15.6 ms unless a program
// asked for more), so deadlines taken from it, and waits of whole
// milliseconds on it, end anywhere within a tick of where they should. The
// driver's tick count is instead the whole milliseconds of the performance
// counter, and its waits are timed to the microsecond on a high-resolution
// waitable timer, one per thread that waits.
#pragma once

#include <cstdint>

#include "platform/win32/windows_api.h"

namespace zeva::win32 {

// The performance counter in microseconds.
int64_t NowUs();
inline uint32_t TickCountNow() { return static_cast<uint32_t>(NowUs() / 1000); }

// Waits until NowUs() reaches `untilUs`, one of the `count` handles (at
// most 3) is signalled, or input is available in the calling thread's
// queue (also input already seen by a peek and left there): WAIT_OBJECT_0
// + i for handle i, WAIT_OBJECT_0 + count for input, WAIT_TIMEOUT when the
// time came.
DWORD WaitUntilUs(int64_t untilUs, DWORD count = 0, const HANDLE* handles = nullptr);

// The calling thread ends, or the library is unloaded: its timer goes.
void ThreadLeaves();
void ClockUnloads();

}  // namespace zeva::win32
