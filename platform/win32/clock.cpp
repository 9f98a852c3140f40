#include "platform/win32/clock.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace zeva::win32 {
namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

int64_t CounterFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : int64_t{1000000};
  }();
  return frequency;
}

// The slot of each thread's timer; TLS_OUT_OF_INDEXES when none could be
// had, and the waits then fall back to whole milliseconds.
std::atomic<DWORD> g_timerSlot{TLS_OUT_OF_INDEXES};

DWORD TimerSlot() {
  DWORD slot = g_timerSlot.load();
  if (slot != TLS_OUT_OF_INDEXES) return slot;
  const DWORD fresh = TlsAlloc();
  if (fresh == TLS_OUT_OF_INDEXES) return fresh;
  if (g_timerSlot.compare_exchange_strong(slot, fresh)) return fresh;
  TlsFree(fresh);
  return slot;
}

// A waiting thread's own: its timer, and how late that timer has been
// firing. Where timers are coarse (Wine rounds every timed wait up to its
// next whole millisecond), the thread asks its timer for that much less and
// yields the processor for the rest, checking its queue; where they are
// fine, the lead stays near zero and so does the yielding.
struct ThreadWaiter {
  HANDLE timer = nullptr;
  int64_t leadUs = 0;
};

// How long before the instant a timer is asked to fire at most: the
// yielding after it costs the processor, so a timer worse than this is
// left late instead.
constexpr int64_t kMaxLeadUs = 1500;

// The calling thread's waiter, its timer high-resolution where the system
// has such timers (Windows 10 1803 and later), else an ordinary one.
ThreadWaiter* Waiter() {
  const DWORD slot = TimerSlot();
  if (slot == TLS_OUT_OF_INDEXES) return nullptr;
  if (auto* waiter = static_cast<ThreadWaiter*>(TlsGetValue(slot))) return waiter;
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  if (timer == nullptr) return nullptr;
  auto* waiter = new (std::nothrow) ThreadWaiter{timer, 0};
  if (waiter == nullptr || !TlsSetValue(slot, waiter)) {
    CloseHandle(timer);
    delete waiter;
    return nullptr;
  }
  return waiter;
}

}  // namespace

int64_t NowUs() {
  LARGE_INTEGER c{};
  QueryPerformanceCounter(&c);
  const int64_t f = CounterFrequency();
  // In two parts, so that the product cannot overflow in a long uptime.
  return c.QuadPart / f * 1000000 + c.QuadPart % f * 1000000 / f;
}

namespace {

// Without a timer: whole milliseconds, rounded up so as not to end early.
DWORD WaitWholeMs(int64_t leftUs, DWORD count, const HANDLE* handles) {
  return MsgWaitForMultipleObjectsEx(count, handles, static_cast<DWORD>((leftUs + 999) / 1000), QS_ALLINPUT,
                                     MWMO_INPUTAVAILABLE);
}

// The most handles a wait takes besides the thread's timer.
constexpr DWORD kMaxHandles = 3;

}  // namespace

DWORD WaitUntilUs(int64_t untilUs, DWORD count, const HANDLE* handles) {
  count = std::min(count, kMaxHandles);
  int64_t now = NowUs();
  if (untilUs <= now) return WAIT_TIMEOUT;
  ThreadWaiter* waiter = Waiter();
  if (waiter == nullptr) return WaitWholeMs(untilUs - now, count, handles);
  const int64_t dueUs = untilUs - waiter->leadUs;
  if (dueUs > now) {
    LARGE_INTEGER due{};
    due.QuadPart = -(dueUs - now) * 10;  // relative, in 100-ns units
    if (!SetWaitableTimer(waiter->timer, &due, 0, nullptr, nullptr, FALSE)) {
      return WaitWholeMs(untilUs - now, count, handles);
    }
    HANDLE all[kMaxHandles + 1];
    std::copy_n(handles, count, all);
    all[count] = waiter->timer;
    const DWORD result = MsgWaitForMultipleObjectsEx(count + 1, all, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0 + count + 1) return WAIT_OBJECT_0 + count;  // input
    if (result != WAIT_OBJECT_0 + count) return result;                     // a handle, or a failure
    now = NowUs();
    // Up by half of a greater lateness, down by a sixteenth of a smaller
    // one: the lead follows the late end of the timer's spread, not its
    // middle, so that few waits end late.
    const int64_t late = now - dueUs;
    const int64_t step = late > waiter->leadUs ? (late - waiter->leadUs) / 2 : (late - waiter->leadUs) / 16;
    waiter->leadUs = std::clamp<int64_t>(waiter->leadUs + step, 0, kMaxLeadUs);
  }
  // The rest, shorter than the timer's usual lateness: yield until the
  // instant, ending early for a handle or input as the wait would.
  while (now < untilUs) {
    if (count > 0) {
      const DWORD ready = WaitForMultipleObjects(count, handles, FALSE, 0);
      if (ready < WAIT_OBJECT_0 + count) return ready;
    }
    if (HIWORD(GetQueueStatus(QS_ALLINPUT)) != 0) return WAIT_OBJECT_0 + count;
    SwitchToThread();
    now = NowUs();
  }
  return WAIT_TIMEOUT;
}

void ThreadLeaves() {
  const DWORD slot = g_timerSlot.load();
  if (slot == TLS_OUT_OF_INDEXES) return;
  if (auto* waiter = static_cast<ThreadWaiter*>(TlsGetValue(slot))) {
    TlsSetValue(slot, nullptr);
    CloseHandle(waiter->timer);
    delete waiter;
  }
}

// Other threads' timers stay open: their slot is gone with the library.
void ClockUnloads() {
  ThreadLeaves();
  const DWORD slot = g_timerSlot.exchange(TLS_OUT_OF_INDEXES);
  if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
}

}  // namespace zeva::win32
