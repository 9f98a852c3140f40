// The window system as one thread sees it: queues, filters, handles,
// subclassing, registered messages and message boxes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix/window_system.h"
#include "zeva232_posix.h"

namespace {

struct Call {
  char proc;
  HWND hwnd;
  unsigned msg;
  WPARAM wParam;
  LPARAM lParam;
};

std::vector<Call> gCalls;
WNDPROC gSavedProc = nullptr;

LRESULT ProcA(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  gCalls.push_back({'A', hwnd, msg, wParam, lParam});
  return 42;
}

// A subclass that forwards to the procedure it replaced.
LRESULT ProcB(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  gCalls.push_back({'B', hwnd, msg, wParam, lParam});
  return CallWindowProcA(gSavedProc, hwnd, msg, wParam, lParam) + 1;
}

// Tries to destroy its window a second time from inside WM_DESTROY, and
// posts to it, which must come to nothing.
LRESULT ReentrantDestroyProc(HWND hwnd, unsigned msg, WPARAM wParam, LPARAM lParam) {
  gCalls.push_back({'D', hwnd, msg, wParam, lParam});
  if (msg == WM_DESTROY) {
    EXPECT_EQ(DestroyWindow(hwnd), 0);
    EXPECT_NE(PostMessageA(hwnd, 0x401, 0, 0), 0);
  }
  return 0;
}

std::vector<MSG> DrainQueue(HWND hwnd = nullptr, unsigned filterMin = 0, unsigned filterMax = 0) {
  std::vector<MSG> taken;
  MSG msg{};
  while (PeekMessageA(&msg, hwnd, filterMin, filterMax, PM_REMOVE)) taken.push_back(msg);
  return taken;
}

std::vector<unsigned> Numbers(const std::vector<MSG>& messages) {
  std::vector<unsigned> numbers;
  for (const MSG& msg : messages) numbers.push_back(msg.message);
  return numbers;
}

class WindowSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainQueue();
    gCalls.clear();
    gSavedProc = nullptr;
  }
  void TearDown() override {
    for (HWND hwnd : windows_) DestroyWindow(hwnd);
    DrainQueue();
    SetMessageBoxHook(nullptr);
  }
  HWND NewWindow(WNDPROC proc = ProcA) {
    HWND hwnd = CreateMessageWindow(proc);
    windows_.push_back(hwnd);
    return hwnd;
  }

 private:
  std::vector<HWND> windows_;
};

TEST_F(WindowSystemTest, PeekAndGetTakeMessagesInPostingOrder) {
  HWND hwnd = NewWindow();
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(PostMessageA(hwnd, 0x400, 1, 10));
  ASSERT_TRUE(PostMessageA(nullptr, 0x401, 2, 20));
  ASSERT_TRUE(PostMessageA(hwnd, 0x402, 3, 30));

  MSG msg{};
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, 0x400u);
  EXPECT_TRUE(zeva::posixwin::QueueHasMessage());

  const unsigned expected[][3] = {{0x400, 1, 10}, {0x401, 2, 20}, {0x402, 3, 30}};
  for (const auto& want : expected) {
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    EXPECT_EQ(msg.message, want[0]);
    EXPECT_EQ(msg.wParam, want[1]);
    EXPECT_EQ(msg.lParam, static_cast<LPARAM>(want[2]));
    EXPECT_EQ(msg.hwnd, want[0] == 0x401 ? nullptr : hwnd);
  }
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_FALSE(zeva::posixwin::QueueHasMessage());
}

TEST_F(WindowSystemTest, FiltersSelectByWindowAndNumberAndLeaveTheRest) {
  struct Case {
    const char* name;
    int window;  // 0: none, 1 or 2: that window
    unsigned filterMin, filterMax;
    std::vector<unsigned> taken;
  };
  const Case cases[] = {
      {"everything", 0, 0, 0, {0x100, 0x250, 0x200, 0x260, 0x300}},
      {"one window", 1, 0, 0, {0x100, 0x200, 0x300}},
      {"range over windows and thread", 0, 0x200, 0x260, {0x250, 0x200, 0x260}},
      {"window and range", 1, 0x200, 0x300, {0x200, 0x300}},
      {"single number", 1, 0x300, 0x300, {0x300}},
      {"nothing matches", 2, 0x100, 0x200, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HWND first = NewWindow();
    HWND second = NewWindow();
    PostMessageA(first, 0x100, 0, 0);
    PostMessageA(second, 0x250, 0, 0);
    PostMessageA(first, 0x200, 0, 0);
    PostMessageA(nullptr, 0x260, 0, 0);
    PostMessageA(first, 0x300, 0, 0);
    HWND filter = c.window == 0 ? nullptr : (c.window == 1 ? first : second);
    EXPECT_EQ(Numbers(DrainQueue(filter, c.filterMin, c.filterMax)), c.taken);
    EXPECT_EQ(DrainQueue().size(), 5 - c.taken.size());
  }
}

TEST_F(WindowSystemTest, QuitEndsGetMessageAndPassesAnyNumberRange) {
  PostQuitMessage(7);
  PostMessageA(nullptr, 0x400, 0, 0);  // in range: taken instead if the quit were filtered out
  MSG msg{};
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0x400, 0x400), 0);
  EXPECT_EQ(msg.message, static_cast<unsigned>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(Numbers(DrainQueue()), std::vector<unsigned>{0x400});

  // A quit is a thread message: a window filter does not see it.
  HWND hwnd = NewWindow();
  PostQuitMessage(0);
  EXPECT_FALSE(PeekMessageA(&msg, hwnd, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
}

TEST_F(WindowSystemTest, StaleAndForgedHandlesAreRefusedEverywhere) {
  HWND live = NewWindow();
  HWND destroyed = CreateMessageWindow(ProcA);
  ASSERT_TRUE(DestroyWindow(destroyed));
  HWND reused = NewWindow();  // may take the destroyed window's slot
  int local = 0;
  const uintptr_t liveValue = reinterpret_cast<uintptr_t>(live);
  const struct {
    const char* name;
    HWND hwnd;
  } handles[] = {
      {"destroyed", destroyed},
      {"next generation of a live slot", reinterpret_cast<HWND>(liveValue + (uintptr_t{1} << 16))},
      {"live generation, unused slot", reinterpret_cast<HWND>((liveValue | 0xFFFF))},
      {"pointer to a local", reinterpret_cast<HWND>(&local)},
      {"small integer", reinterpret_cast<HWND>(uintptr_t{1})},
      {"all ones", reinterpret_cast<HWND>(~uintptr_t{0})},
  };
  // A handle wrongly taken for a live window gets that window's message
  // instead of blocking GetMessageA.
  PostMessageA(live, 0x401, 0, 0);
  PostMessageA(reused, 0x402, 0, 0);
  gCalls.clear();
  for (const auto& h : handles) {
    SCOPED_TRACE(h.name);
    ASSERT_NE(h.hwnd, live);
    ASSERT_NE(h.hwnd, reused);
    MSG msg{h.hwnd, 0x400, 0, 0, 0};
    EXPECT_EQ(PostMessageA(h.hwnd, 0x400, 0, 0), 0);
    EXPECT_EQ(SetWindowLongPtrA(h.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProcB)), 0);
    EXPECT_EQ(GetWindowLongPtrA(h.hwnd, GWLP_WNDPROC), 0);
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(PeekMessageA(&msg, h.hwnd, 0, 0, PM_NOREMOVE), 0);
    EXPECT_EQ(DestroyWindow(h.hwnd), 0);
    EXPECT_EQ(GetMessageA(&msg, h.hwnd, 0, 0), -1);
  }
  EXPECT_TRUE(gCalls.empty());
  EXPECT_EQ(Numbers(DrainQueue()), (std::vector<unsigned>{0x401, 0x402}));
  // The real windows are untouched.
  EXPECT_EQ(GetWindowLongPtrA(live, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(ProcA));
  EXPECT_EQ(GetWindowLongPtrA(reused, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(ProcA));
}

TEST_F(WindowSystemTest, BadArgumentsAreRefused) {
  MSG msg{};
  EXPECT_EQ(CreateMessageWindow(nullptr), nullptr);
  EXPECT_EQ(GetMessageA(nullptr, nullptr, 0, 0), -1);
  EXPECT_EQ(PeekMessageA(nullptr, nullptr, 0, 0, PM_REMOVE), 0);
  EXPECT_EQ(DispatchMessageA(nullptr), 0);
  msg.message = 0x400;  // a thread message has no procedure
  EXPECT_EQ(DispatchMessageA(&msg), 0);
  EXPECT_EQ(DestroyWindow(nullptr), 0);
  EXPECT_EQ(CallWindowProcA(nullptr, nullptr, 0x400, 0, 0), 0);
  EXPECT_EQ(DefWindowProcA(nullptr, 0x400, 1, 2), 0);
}

TEST_F(WindowSystemTest, DestroyWindowSendsWmDestroyOnceAndDropsItsMessages) {
  HWND hwnd = CreateMessageWindow(ReentrantDestroyProc);
  HWND other = NewWindow();
  PostMessageA(hwnd, 0x400, 0, 0);
  PostMessageA(other, 0x402, 0, 0);
  PostMessageA(hwnd, 0x403, 0, 0);

  ASSERT_EQ(DestroyWindow(hwnd), 1);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].msg, static_cast<unsigned>(WM_DESTROY));
  EXPECT_EQ(gCalls[0].hwnd, hwnd);
  EXPECT_EQ(DestroyWindow(hwnd), 0);
  EXPECT_EQ(PostMessageA(hwnd, 0x404, 0, 0), 0);
  // Posted before and during WM_DESTROY: gone; the other window's stays.
  EXPECT_EQ(Numbers(DrainQueue()), std::vector<unsigned>{0x402});
  EXPECT_EQ(gCalls.size(), 1u);
}

TEST_F(WindowSystemTest, SubclassingReturnsThePreviousProcedureAndChains) {
  HWND hwnd = NewWindow(ProcA);
  EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, reinterpret_cast<LONG_PTR>(ProcB)), 0);  // not GWLP_WNDPROC
  EXPECT_EQ(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, 0), 0);                       // no null procedure
  EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(ProcA));

  gSavedProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProcB)));
  EXPECT_EQ(gSavedProc, ProcA);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(ProcB));

  PostMessageA(hwnd, 0x400, 5, 6);
  MSG msg{};
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
  EXPECT_EQ(DispatchMessageA(&msg), 43);
  ASSERT_EQ(gCalls.size(), 2u);
  EXPECT_EQ(gCalls[0].proc, 'B');
  EXPECT_EQ(gCalls[1].proc, 'A');
  EXPECT_EQ(gCalls[1].hwnd, hwnd);
  EXPECT_EQ(gCalls[1].wParam, 5u);
  EXPECT_EQ(gCalls[1].lParam, 6);

  // Restoring hands back the subclass; WM_DESTROY then reaches A alone.
  EXPECT_EQ(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProcA)),
            reinterpret_cast<LONG_PTR>(ProcB));
  gCalls.clear();
  DestroyWindow(hwnd);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].proc, 'A');
}

TEST_F(WindowSystemTest, RegisteredMessagesAreStablePerNameWithoutRegardToCase) {
  const unsigned events = RegisterWindowMessageA("WS_TEST_EVENTS");
  const unsigned other = RegisterWindowMessageA("WS_TEST_OTHER");
  EXPECT_GE(events, 0xC000u);
  EXPECT_LE(events, 0xFFFFu);
  EXPECT_GE(other, 0xC000u);
  EXPECT_NE(events, other);
  EXPECT_EQ(RegisterWindowMessageA("WS_TEST_EVENTS"), events);
  EXPECT_EQ(RegisterWindowMessageA("ws_test_Events"), events);
  EXPECT_EQ(RegisterWindowMessageA(""), 0u);
  EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
}

struct BoxCall {
  std::string text, caption;
  unsigned type = 0;
};
BoxCall gBox;

int RecordingHook(const char* text, const char* caption, unsigned type) {
  gBox = {text, caption, type};
  return 7;
}

TEST_F(WindowSystemTest, MessageBoxesGoToTheHook) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "Not enough memory", "JV ZEVA COM driver", MB_ICONERROR), IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "JV ZEVA COM driver: Not enough memory\n");

  ZEVA_MESSAGEBOX_HOOK defaultHook = SetMessageBoxHook(RecordingHook);
  ASSERT_NE(defaultHook, nullptr);
  EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_ICONINFORMATION), 7);
  EXPECT_EQ(gBox.text, "text");
  EXPECT_EQ(gBox.caption, "caption");
  EXPECT_EQ(gBox.type, static_cast<unsigned>(MB_ICONINFORMATION));
  MessageBoxA(nullptr, nullptr, nullptr, 0);  // hooks never see null texts
  EXPECT_EQ(gBox.text, "");

  EXPECT_EQ(SetMessageBoxHook(nullptr), RecordingHook);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(nullptr, "b", "a", 0), IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "a: b\n");
  EXPECT_EQ(SetMessageBoxHook(nullptr), defaultHook);
}

TEST_F(WindowSystemTest, WaitForMessageReturnsForAQueuedMessageAndWaitsOutAnEmptyQueue) {
  using Clock = std::chrono::steady_clock;
  PostMessageA(nullptr, 0x400, 0, 0);
  auto start = Clock::now();
  zeva::posixwin::WaitForMessage(5000);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5000));  // did not wait out the timeout
  DrainQueue();

  start = Clock::now();
  zeva::posixwin::WaitForMessage(30);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_FALSE(zeva::posixwin::QueueHasMessage());
  zeva::posixwin::WaitForMessage(0);
  zeva::posixwin::WaitForMessage(-5);
}

}  // namespace
