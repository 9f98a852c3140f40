// The read-ahead hold's planning: each row names the fault it catches.
#include "platform/hold_plan.h"

#include <gtest/gtest.h>

namespace {

using zeva::platform::HoldClock;
using zeva::platform::HoldPlan;
using zeva::platform::HoldSeen;
using zeva::platform::PlanHold;

// 19200 bit/s, 11 bits a character.
constexpr int64_t kChar = 573;
constexpr int64_t kNow = 1'000'000;

struct HoldCase {
  const char* name;
  HoldClock before;
  int32_t expected;
  int32_t buffered;
  bool reported;
  int32_t queued;
  int64_t nowUs;
  // The plan and the clock after it.
  bool due;
  bool watchLine;
  int64_t timeoutUs;
  int32_t minimum;
  bool awaitingFirstByte;
  HoldClock after;
};

const HoldCase kHoldCases[] = {
    // Without read-ahead a byte is news at once: a hold here would delay
    // every single-byte answer.
    {"AnyByteReportedWithoutReadAhead", {}, 1, 0, false, 1, kNow, true, true, -1, -1, false, {}},
    // Queued and taken-in bytes together meet the count: holding on would
    // wait for bytes the reader does not need.
    {"BytesTakenInCountTowardsTheCount", {}, 5, 3, true, 2, kNow, true, true, -1, -1, false, {}},
    // The count fell to what is queued while a hold was on: a lower count
    // must release the held event at once, not at the hold's end.
    {"LowerCountReleasesAtOnce", {kNow + 5000, kNow + 4000, 2}, 2, 0, false, 2, kNow, true, true, -1, -1, false, {}},
    // The first held byte: the rest cannot be in before its wire time, so
    // the watcher sleeps through it instead of waking at every byte; an
    // event released earlier would come before the bytes could have arrived.
    {"FirstByteSleepsThroughTheRestsWireTime",
     {},
     5,
     0,
     false,
     1,
     kNow,
     false,
     false,
     4 * kChar + kChar / 4,
     -1,
     false,
     {kNow + 4 * kChar + kChar * 3 / 2, kNow + 4 * kChar + kChar / 4, 1}},
    // Past the rest's wire time the missing bytes are a little late: the
    // watcher sleeps to the hold's end (one and a half characters after
    // they were due) instead of waking at each of them or setting the
    // line's minimum and back.
    {"LateBytesSleptThroughToTheHoldsEnd",
     {kNow + 1000, kNow - 10, 2},
     5,
     1,
     false,
     2,
     kNow,
     false,
     false,
     1000,
     -1,
     false,
     {kNow + 1000, kNow - 10, 2}},
    // A line found slower than its rate once: the line itself waits for the
    // missing bytes, so that the last of them wakes the watcher.
    {"SlowLineWaitedForWithTheLinesMinimum",
     {kNow + 1000, kNow - 10, 2, true},
     5,
     1,
     false,
     2,
     kNow,
     false,
     true,
     1000,
     4,
     false,
     {kNow + 1000, kNow - 10, 2, true}},
    // Nothing came since the hold was set and its time is up: a cut or
    // damaged frame is released, never held for ever.
    {"CutFrameReleasedWhenTheHoldEnds", {kNow, kNow - 500, 3}, 8, 0, false, 3, kNow, true, true, -1, -1, false, {}},
    // Bytes still trickle in, slower than the rate: the hold goes on for one
    // and a half characters from this look, not for the whole frame again.
    {"SlowLineHoldsOnForOneAndAHalfCharacters",
     {kNow, kNow - 500, 3},
     8,
     0,
     false,
     4,
     kNow,
     false,
     true,
     kChar * 3 / 2,
     8,
     false,
     {kNow + kChar * 3 / 2, kNow - 500, 4, true}},
    // ... and the line that then stays quiet for that long is released.
    {"QuietLineReleasedAfterOneAndAHalfCharacters",
     {kNow + kChar * 3 / 2, kNow - 500, 4},
     8,
     0,
     false,
     4,
     kNow + kChar * 3 / 2,
     true,
     true,
     -1,
     -1,
     false,
     {}},
    // An empty line with read-ahead on: the next byte starts a hold, and the
    // line wakes the watcher at its first byte (a minimum left over from a
    // hold would sleep through a short frame).
    {"EmptyLineAwaitsTheFirstByte", {kNow + 900, kNow, 2}, 4, 0, false, 0, kNow, false, true, -1, 0, true, {}},
    // Bytes the reader left unread and was not told of are news of their own.
    {"BytesLeftBehindReportedAgain", {}, 4, 3, false, 0, kNow, true, true, -1, 0, true, {}},
    // Bytes already reported are not reported at every look.
    {"ReportedBytesNotReportedAtEveryLook", {}, 4, 3, true, 0, kNow, false, true, -1, 0, true, {}},
};

class HoldPlanTest : public ::testing::TestWithParam<HoldCase> {};

TEST_P(HoldPlanTest, PlansTheLook) {
  const HoldCase& c = GetParam();
  HoldSeen seen;
  seen.nowUs = c.nowUs;
  seen.charUs = kChar;
  seen.expected = c.expected;
  seen.buffered = c.buffered;
  seen.reported = c.reported;
  seen.queued = c.queued;
  HoldClock clock = c.before;
  const HoldPlan plan = PlanHold(seen, &clock);
  EXPECT_EQ(plan.due, c.due);
  EXPECT_EQ(plan.watchLine, c.watchLine);
  EXPECT_EQ(plan.timeoutUs, c.timeoutUs);
  EXPECT_EQ(plan.minimum, c.minimum);
  EXPECT_EQ(plan.awaitingFirstByte, c.awaitingFirstByte);
  EXPECT_EQ(clock.holding(), c.after.holding());
  if (c.after.holding()) {
    EXPECT_EQ(clock.holdUntilUs, c.after.holdUntilUs);
    EXPECT_EQ(clock.restDueUs, c.after.restDueUs);
    EXPECT_EQ(clock.heldQueued, c.after.heldQueued);
    EXPECT_EQ(clock.slow, c.after.slow);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HoldPlanTest, ::testing::ValuesIn(kHoldCases),
                         [](const ::testing::TestParamInfo<HoldCase>& info) { return info.param.name; });

struct QuietCase {
  const char* name;
  int64_t quietUntilUs;
  bool holding;
  int32_t buffered;
  bool reported;
  int64_t sleepUs;  // -1: look at the line now
  int64_t quietAfter;
};

const QuietCase kQuietCases[] = {
    // The reader's own bytes are on the wire: waking for each echoed byte
    // costs a wake-up per byte.
    {"OwnWriteOnTheWireSleeps", kNow + 800, false, 0, false, 800, kNow + 800},
    // The write's wire time is over: the echo is looked at.
    {"QuietOverLooksAtTheLine", kNow, false, 0, false, -1, 0},
    // Unread bytes nobody was told of must not wait for our write's echo.
    {"UnreportedBytesEndTheQuiet", kNow + 800, false, 2, false, -1, 0},
    // A hold already on keeps its own clock.
    {"HoldOnEndsTheQuiet", kNow + 800, true, 0, false, -1, 0},
    {"NoWriteNoQuiet", 0, false, 0, false, -1, 0},
};

class EchoQuietTest : public ::testing::TestWithParam<QuietCase> {};

TEST_P(EchoQuietTest, PlansTheSleep) {
  const QuietCase& c = GetParam();
  int64_t quietUntil = c.quietUntilUs;
  EXPECT_EQ(zeva::platform::PlanEchoQuiet(kNow, c.holding, c.buffered, c.reported, &quietUntil), c.sleepUs);
  EXPECT_EQ(quietUntil, c.quietAfter);
}

INSTANTIATE_TEST_SUITE_P(Rows, EchoQuietTest, ::testing::ValuesIn(kQuietCases),
                         [](const ::testing::TestParamInfo<QuietCase>& info) { return info.param.name; });

}  // namespace
