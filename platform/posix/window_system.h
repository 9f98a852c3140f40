// What the driver's waits need of the window system beyond the Win32 names
// of include/zeva232_posix.h: a wait that blocks on the calling thread's
// queue instead of polling it.
#pragma once

#include <cstdint>

namespace zeva::posixwin {

// True when the calling thread's queue holds a message (any window, any
// number).
bool QueueHasMessage();

// Blocks the calling thread until its queue holds a message or timeoutMs
// milliseconds have passed; returns at once when a message is already there
// or timeoutMs <= 0.
void WaitForMessage(int64_t timeoutMs);
// The same until the steady clock (std::chrono::steady_clock, in
// microseconds since its epoch) reaches `steadyUs`.
void WaitForMessageUntilUs(int64_t steadyUs);

// For a wait in poll() on the caller's own descriptors: until
// EndPolledWait, a message posted to the calling thread's queue writes a
// byte to `signalFd` (once; non-blocking, the caller drains it). False when
// a message is already there: nothing to wait for then. EndPolledWait, on
// the same thread, returns whether the byte was written.
bool BeginPolledWait(int signalFd);
bool EndPolledWait();

// Called on the calling thread when GetMessageA is about to block it: the
// thread is then in a message loop of its own, outside the driver's waits.
// Per thread; SetBlockHook returns the hook it replaces.
struct BlockHook {
  void (*call)(uintptr_t) = nullptr;
  uintptr_t arg = 0;
};
BlockHook SetBlockHook(BlockHook hook);

}  // namespace zeva::posixwin
