// The window system across threads: posts from anywhere land in the owning
// thread's queue and wake its waits. Every wait is bounded by a watchdog that
// posts a sentinel message, so a fault fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/window_system.h"
#include "zeva232_posix.h"

namespace {

using namespace std::chrono_literals;

constexpr unsigned kWork = 0x400;
constexpr unsigned kWatchdog = 0x4FF;

LRESULT NullProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }

// Posts kWatchdog to `hwnd` unless cancelled within `limit`.
class Watchdog {
 public:
  Watchdog(HWND hwnd, std::chrono::milliseconds limit)
      : thread_([this, hwnd, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return cancelled_; })) PostMessageA(hwnd, kWatchdog, 0, 0);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool cancelled_ = false;
  std::thread thread_;
};

void Drain() {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

TEST(WindowThreadsTest, PostFromAnotherThreadWakesABlockedGetMessage) {
  HWND hwnd = CreateMessageWindow(NullProc);
  Watchdog watchdog(hwnd, 5s);
  std::thread poster([hwnd] {
    std::this_thread::sleep_for(20ms);  // let the main thread block first
    PostMessageA(hwnd, kWork, 11, 22);
  });
  MSG msg{};
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(msg.message, kWork);
  EXPECT_EQ(msg.wParam, 11u);
  poster.join();
  DestroyWindow(hwnd);
  Drain();
}

TEST(WindowThreadsTest, PostFromAnotherThreadEndsWaitForMessage) {
  HWND hwnd = CreateMessageWindow(NullProc);
  std::thread poster([hwnd] {
    std::this_thread::sleep_for(20ms);
    PostMessageA(hwnd, kWork, 0, 0);
  });
  const auto start = std::chrono::steady_clock::now();
  zeva::posixwin::WaitForMessage(10000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10000ms);  // woken, not timed out
  EXPECT_TRUE(zeva::posixwin::QueueHasMessage());
  poster.join();
  DestroyWindow(hwnd);
  Drain();
}

TEST(WindowThreadsTest, MessagesReachTheOwnersQueueOnly) {
  std::promise<HWND> created;
  std::promise<MSG> received;
  std::thread owner([&] {
    HWND hwnd = CreateMessageWindow(NullProc);
    Watchdog watchdog(hwnd, 5s);
    created.set_value(hwnd);
    MSG msg{};
    GetMessageA(&msg, nullptr, 0, 0);
    received.set_value(msg);
    DestroyWindow(hwnd);
  });
  HWND hwnd = created.get_future().get();
  EXPECT_EQ(PostMessageA(hwnd, kWork, 3, 4), 1);
  const MSG msg = received.get_future().get();
  owner.join();
  EXPECT_EQ(msg.message, kWork);
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_FALSE(zeva::posixwin::QueueHasMessage());
  // Only the owner may destroy; after it did, the handle is dead for all.
  EXPECT_EQ(PostMessageA(hwnd, kWork, 0, 0), 0);
}

TEST(WindowThreadsTest, OnlyTheOwnerDestroysAndAnEndedThreadsWindowsAreGone) {
  std::promise<HWND> created;
  std::promise<void> tried;
  std::atomic<int> destroyResult{-1};
  std::thread owner([&] {
    HWND hwnd = CreateMessageWindow(NullProc);
    created.set_value(hwnd);
    tried.get_future().wait();
  });
  HWND hwnd = created.get_future().get();
  destroyResult = DestroyWindow(hwnd);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(NullProc));
  tried.set_value();
  owner.join();
  EXPECT_EQ(destroyResult.load(), 0);
  EXPECT_EQ(PostMessageA(hwnd, kWork, 0, 0), 0);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_WNDPROC), 0);
}

TEST(WindowThreadsTest, ConcurrentPostersLoseNothingAndKeepTheirOwnOrder) {
  constexpr int kPosters = 4;
  constexpr int kEach = 500;
  HWND hwnd = CreateMessageWindow(NullProc);
  Watchdog watchdog(hwnd, 10s);
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([hwnd, p] {
      for (int i = 0; i < kEach; ++i) PostMessageA(hwnd, kWork, static_cast<WPARAM>(p), i);
    });
  }
  std::map<WPARAM, LPARAM> next;
  int received = 0;
  bool inOrder = true;
  MSG msg{};
  while (received < kPosters * kEach && GetMessageA(&msg, nullptr, 0, 0) == 1 && msg.message == kWork) {
    inOrder = inOrder && msg.lParam == next[msg.wParam];
    next[msg.wParam] = msg.lParam + 1;
    ++received;
  }
  for (std::thread& t : posters) t.join();
  EXPECT_EQ(received, kPosters * kEach);
  EXPECT_TRUE(inOrder);
  DestroyWindow(hwnd);
  Drain();
}

}  // namespace
