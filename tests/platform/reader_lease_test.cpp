// Who watches the line: the reader's lease over a virtual clock. Each row is
// a script of the reader's and the event thread's steps; it names the fault
// it catches.
#include "platform/reader_lease.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using zeva::platform::ReaderLease;

constexpr int64_t kLease = ReaderLease::kLeaseUs;

class ScriptHost : public zeva::platform::LeaseHost {
 public:
  int64_t nowUs = 1'000'000;
  int wakes = 0;
  int enters = 0;
  int leaves = 0;
  int64_t LeaseNowUs() override { return nowUs; }
  void WakeEventThread() override { ++wakes; }
  void EnterReaderThread() override { ++enters; }
  void LeaveReaderThread() override { ++leaves; }
};

enum class Op {
  kBegin,         // the reader's watch begins
  kEnd,           // ... and ends
  kAbandon,       // the port closes inside the watch
  kWait,          // the reader waits until `us` from now
  kLeave,         // ... and leaves its wait
  kLineGone,      // the reader's wait found the line gone
  kOwnLoop,       // a callback runs its own message loop
  kAdvance,       // `us` pass
  kAside,         // the event thread looks: expect StandAside == us
  kWakeUnless,    // the reader leaves bytes behind / needs fewer
  kExpectWakes,   // the event thread has been woken `us` times so far
};

struct Step {
  Op op;
  int64_t us = 0;
};

struct LeaseCase {
  const char* name;
  std::vector<Step> steps;
  bool watching;  // at the end, on the reader's thread
  int enters;
  int leaves;
};

const LeaseCase kLeaseCases[] = {
    // Without a watch the event thread watches: standing aside would lose
    // every data event of a client that never waits in the driver.
    {"NoWatchEventThreadWatches", {{Op::kAside, -1}, {Op::kWakeUnless}, {Op::kExpectWakes, 1}}, false, 0, 0},
    // A waiting reader is not looked after before its wait's end plus the
    // lease: a long wait costs the event thread no wake-ups.
    {"WaitingReaderKeepsTheLineToItsDeadline",
     {{Op::kBegin}, {Op::kWait, 50'000}, {Op::kAdvance, 10'000}, {Op::kAside, 40'000 + kLease}},
     true,
     1,
     0},
    // The lease runs about 20 ms past the wait the reader left, and no
    // longer: a reader held up elsewhere still gets its data events.
    {"LeaseEndsTwentyMsAfterTheWait",
     {{Op::kBegin},
      {Op::kWait, 5'000},
      {Op::kAdvance, 1'000},
      {Op::kLeave},
      {Op::kAdvance, 5'000},
      {Op::kAside, kLease - 5'000},
      {Op::kAdvance, kLease - 5'000},
      {Op::kAside, -1}},
     true,
     1,
     0},
    // Ending the watch hands the line back at once, with a wake-up for an
    // event thread that stood aside: else it sleeps out the lease.
    {"EndHandsTheLineBackAtOnce",
     {{Op::kBegin}, {Op::kWait, 5'000}, {Op::kAside, 5'000 + kLease}, {Op::kLeave}, {Op::kEnd},
      {Op::kExpectWakes, 1}, {Op::kAside, -1}},
     false,
     1,
     1},
    // A wake-up asked for while the reader has the line is owed, not lost:
    // the reader's watch ends before its next wait sees those bytes.
    {"WakeOwedWhileTheReaderHasTheLineGivenAtTheEnd",
     {{Op::kBegin}, {Op::kWait, 5'000}, {Op::kWakeUnless}, {Op::kExpectWakes, 0}, {Op::kLeave}, {Op::kEnd},
      {Op::kExpectWakes, 1}},
     false,
     1,
     1},
    // After the lease, leaving bytes wakes the event thread at once.
    {"WakeGivenAtOnceAfterTheLease",
     {{Op::kBegin}, {Op::kWait, 1'000}, {Op::kLeave}, {Op::kAdvance, kLease}, {Op::kWakeUnless},
      {Op::kExpectWakes, 1}},
     true,
     1,
     0},
    // A callback's own message loop waits for data events the event thread
    // must post: the lease ends at once and the standing-aside thread wakes.
    {"OwnMessageLoopEndsTheLease",
     {{Op::kBegin}, {Op::kWait, 1'000}, {Op::kLeave}, {Op::kAside, kLease}, {Op::kOwnLoop},
      {Op::kExpectWakes, 1}, {Op::kAside, -1}},
     true,
     1,
     0},
    // Nested watches count as one: an inner end must not hand the line back
    // nor restore the thread while the outer call still waits.
    {"NestedWatchesCountAsOne",
     {{Op::kBegin}, {Op::kBegin}, {Op::kEnd}, {Op::kWait, 5'000}, {Op::kAside, 5'000 + kLease}},
     true,
     1,
     0},
    // The reader found the line gone: the event thread is woken to find out
    // and end, and the reader no longer watches.
    {"LineGoneHandsTheLineBack",
     {{Op::kBegin}, {Op::kWait, 5'000}, {Op::kLineGone}, {Op::kLeave}, {Op::kExpectWakes, 1}, {Op::kAside, -1}},
     true,
     1,
     0},
    // The port closes inside the watch (from a callback): the thread is
    // restored once, and the outer end that follows does nothing more.
    {"CloseInsideTheWatchRestoresTheThreadOnce",
     {{Op::kBegin}, {Op::kBegin}, {Op::kAbandon}, {Op::kEnd}, {Op::kEnd}, {Op::kExpectWakes, 0}},
     false,
     1,
     1},
};

class ReaderLeaseTest : public ::testing::TestWithParam<LeaseCase> {};

TEST_P(ReaderLeaseTest, HandsTheLineOver) {
  const LeaseCase& c = GetParam();
  ScriptHost host;
  ReaderLease lease(host);
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    SCOPED_TRACE(::testing::Message() << "step " << i);
    switch (step.op) {
      case Op::kBegin: lease.Begin(); break;
      case Op::kEnd: lease.End(); break;
      case Op::kAbandon: lease.Abandon(); break;
      case Op::kWait:
        ASSERT_TRUE(lease.MayWait());
        lease.WaitBegins(host.nowUs + step.us);
        break;
      case Op::kLeave: lease.WaitEnds(); break;
      case Op::kLineGone:
        lease.LineGone();
        EXPECT_FALSE(lease.MayWait());
        break;
      case Op::kOwnLoop: lease.LoopsElsewhere(); break;
      case Op::kAdvance: host.nowUs += step.us; break;
      case Op::kAside:
        EXPECT_EQ(lease.StandAside(host.nowUs), step.us);
        EXPECT_EQ(lease.ReaderHasLine(host.nowUs), step.us >= 0);
        break;
      case Op::kWakeUnless: lease.WakeUnlessReaderHasLine(); break;
      case Op::kExpectWakes: EXPECT_EQ(host.wakes, step.us); break;
    }
  }
  EXPECT_EQ(lease.Watching(), c.watching);
  EXPECT_EQ(host.enters, c.enters);
  EXPECT_EQ(host.leaves, c.leaves);
}

INSTANTIATE_TEST_SUITE_P(Rows, ReaderLeaseTest, ::testing::ValuesIn(kLeaseCases),
                         [](const ::testing::TestParamInfo<LeaseCase>& info) { return info.param.name; });

}  // namespace
