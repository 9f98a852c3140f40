// WaitForFlags in virtual time: the order of its checks, its deadline
// arithmetic across the tick-count wrap, and that it serves the queue.
#include <gtest/gtest.h>

#include <functional>

#include "runtime/wait.h"
#include "support/fixture.h"

namespace zeva {
namespace {

// Posts one message to a window at a chosen virtual time, as a serial event
// would.
class TimedPost : public testing::VirtualLine {
 public:
  TimedPost(HWND window, uint64_t atUs) : window_(window), atUs_(atUs) {}
  void HostWrite(const uint8_t*, size_t, uint64_t) override {}
  std::optional<uint64_t> NextEventUs() override {
    return posted_ ? std::nullopt : std::optional<uint64_t>(atUs_);
  }
  void AdvanceTo(uint64_t nowUs, std::vector<uint8_t>*, bool*, bool*) override {
    if (!posted_ && nowUs >= atUs_) {
      posted_ = true;
      PostMessageA(window_, kMessage, 0, 0);
    }
  }
  static constexpr unsigned kMessage = 0x0401;

 private:
  HWND window_;
  uint64_t atUs_;
  bool posted_ = false;
};

// The window procedure runs a test-chosen action for kMessage.
std::function<void()>* g_onMessage = nullptr;
int g_dispatched = 0;

LRESULT ZEVA_WINDOW_PROC CALLBACK_Proc(HWND, unsigned msg, WPARAM, LPARAM) {
  if (msg == TimedPost::kMessage) {
    ++g_dispatched;
    if (g_onMessage && *g_onMessage) (*g_onMessage)();
  }
  return 0;
}

class WaitTest : public ::testing::Test {
 protected:
  explicit WaitTest(uint32_t startTick = 1000) : f(startTick) {
    window = CreateMessageWindow(&CALLBACK_Proc);
    g_onMessage = &onMessage;
    g_dispatched = 0;
  }
  ~WaitTest() override {
    g_onMessage = nullptr;
    DestroyWindow(window);
  }
  uint32_t ElapsedMs() const { return static_cast<uint32_t>(f.platform.NowUs() / 1000); }

  test::DriverFixture f;
  HWND window = nullptr;
  std::function<void()> onMessage;
};

TEST_F(WaitTest, EmptyMaskIsAPauseThatEndsAfterTheTickPassesTheDeadline) {
  for (uint32_t t : {0u, 1u, 162u, 5000u}) {
    const uint64_t before = f.platform.NowUs();
    EXPECT_EQ(WaitForFlags(*f.ctx, t, 0), 1);
    EXPECT_EQ((f.platform.NowUs() - before) / 1000, t + 1) << t;
  }
}

TEST_F(WaitTest, FlagsAlreadySetEndTheWaitWithoutDispatching) {
  f.ctx->core.flags.Set(SF_ACK_RECEIVED | SF_ECHO_MATCHED);
  PostMessageA(window, TimedPost::kMessage, 0, 0);
  EXPECT_EQ(WaitForFlags(*f.ctx, 100, SF_ACK_RECEIVED), 0);
  EXPECT_EQ(g_dispatched, 0);
  EXPECT_EQ(ElapsedMs(), 0u);
}

TEST_F(WaitTest, ZeroTimeoutServesTheQueueUntilTheTickMoves) {
  PostMessageA(window, TimedPost::kMessage, 0, 0);
  PostMessageA(window, TimedPost::kMessage, 0, 0);
  EXPECT_EQ(WaitForFlags(*f.ctx, 0, SF_ACK_RECEIVED), 1);
  EXPECT_EQ(g_dispatched, 2);
  EXPECT_EQ(ElapsedMs(), 1u);
}

TEST_F(WaitTest, EveryBitOfTheMaskIsNeeded) {
  f.ctx->core.flags.Set(SF_ACK_RECEIVED);
  EXPECT_EQ(WaitForFlags(*f.ctx, 50, SF_ACK_RECEIVED | SF_ECHO_MATCHED), 1);
  EXPECT_EQ(ElapsedMs(), 51u);

  TimedPost line(window, f.platform.NowUs() + 20'000);
  f.platform.AttachLine(9, &line);
  onMessage = [this] { f.ctx->core.flags.Set(SF_ECHO_MATCHED); };
  const uint64_t before = f.platform.NowUs();
  EXPECT_EQ(WaitForFlags(*f.ctx, 162, SF_ACK_RECEIVED | SF_ECHO_MATCHED), 0);
  EXPECT_EQ(f.platform.NowUs() - before, 20'000u) << "reacts at the message, not at the deadline";
  f.platform.DetachLine(9);
}

TEST_F(WaitTest, TimeIsCheckedBeforeFlags) {
  // The handler sets the flag and lets the deadline pass in the same step:
  // the time check comes first, so the wait reports a timeout.
  PostMessageA(window, TimedPost::kMessage, 0, 0);
  onMessage = [this] {
    f.platform.AdvanceMs(20);
    f.ctx->core.flags.Set(SF_QUERY_REPLY);
  };
  EXPECT_EQ(WaitForFlags(*f.ctx, 10, SF_QUERY_REPLY), 1);
}

TEST_F(WaitTest, NestedWaitRunsToItsEndInsideTheOuterOne) {
  PostMessageA(window, TimedPost::kMessage, 0, 0);
  int inner = -1;
  onMessage = [this, &inner] {
    onMessage = nullptr;
    inner = WaitForFlags(*f.ctx, 30, 0);
    f.ctx->core.flags.Set(SF_IDENTIFY_REPLY);
  };
  EXPECT_EQ(WaitForFlags(*f.ctx, 100, SF_IDENTIFY_REPLY), 0);
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(ElapsedMs(), 31u);
}

// Faults caught: a wait that takes WM_QUIT from the queue and drops it (the
// client's own loop never ends); one that puts it back at once (the wait
// would meet it again and again until its deadline, or end early); one
// that loses the exit code.
TEST_F(WaitTest, QuitMessageTakenByAWaitIsPostedAgainWhenTheWaitEnds) {
  struct Case {
    const char* name;
    bool nested;  // PostQuitMessage inside a callback that itself waits
  };
  for (const Case& c : {Case{"in the wait", false}, Case{"in a nested wait", true}}) {
    const uint32_t before = ElapsedMs();
    if (c.nested) {
      PostMessageA(window, TimedPost::kMessage, 0, 0);
      onMessage = [this] {
        onMessage = nullptr;
        PostQuitMessage(7);
        WaitForFlags(*f.ctx, 10, 0);
      };
    } else {
      PostQuitMessage(7);
    }
    EXPECT_EQ(WaitForFlags(*f.ctx, 50, SF_QUERY_REPLY), 1) << c.name;
    EXPECT_EQ(ElapsedMs() - before, 51u) << c.name << ": the quit message does not end the wait";
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << c.name << ": WM_QUIT is back in the queue";
    EXPECT_EQ(msg.message, static_cast<unsigned>(WM_QUIT)) << c.name;
    EXPECT_EQ(msg.wParam, 7u) << c.name;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << c.name << ": once";
  }
}

class WrapTest : public WaitTest {
 protected:
  WrapTest() : WaitTest(0xFFFFFF00u) {}
};

TEST_F(WrapTest, DeadlineBeyondTheWrapIsNotEndedEarly) {
  // S = 0xFFFFFF00, T = 0x200: D = 0x100 after the wrap.
  EXPECT_EQ(WaitForFlags(*f.ctx, 0x200, 0), 1);
  EXPECT_EQ(ElapsedMs(), 0x201u);
  EXPECT_EQ(f.platform.TickCount(), 0x101u);
}

TEST_F(WrapTest, WaitThatEndsJustBeforeTheWrap) {
  EXPECT_EQ(WaitForFlags(*f.ctx, 0xFE, 0), 1);
  EXPECT_EQ(f.platform.TickCount(), 0xFFFFFFFFu);
}

// The instant a platform's wait for a tick ends at, on a microsecond clock
// whose whole milliseconds are the tick count (plus a fixed offset).
TEST(TickReachedTest, TheWaitEndsWhenTheTickCountTurns) {
  const struct {
    const char* fault;
    int64_t nowUs;
    uint32_t nowTick;
    uint32_t tick;
    int64_t expectedUs;
  } rows[] = {
      {"a wait for the next tick lasted a whole millisecond from inside the current one",
       5'400, 5, 6, 6'000},
      {"a wait for a tick T ms on ended a fraction of a millisecond after it", 5'999, 5, 25, 25'000},
      {"a tick already reached waited 2^32 ms", 5'400, 5, 4, 5'400},
      {"the tick now waited for the next one", 5'400, 5, 5, 5'400},
      {"a tick half the counter's range behind counted as ahead", 5'400, 5, 5 - 0x7FFFFFFFu, 5'400},
      {"a tick count offset from the clock shifted the instant", 5'400, 1005, 1007, 7'000},
      {"a tick across the counter's wrap was taken as past", 4'294'967'295'300, 0xFFFFFFFFu, 1,
       4'294'967'297'000},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(platform::TickReachedUs(row.nowUs, row.nowTick, row.tick), row.expectedUs) << row.fault;
  }
}

}  // namespace
}  // namespace zeva
