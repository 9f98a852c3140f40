// The watch over the line in virtual time: the test platform's port hands
// the line between its event thread and the reader waiting in the driver by
// the real ports' rules (platform::ReaderLease). Each row is a script of the
// reader's steps over a scripted line and names the fault it catches; the
// result is who was told of what, and when.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <vector>

#include "platform/testing/test_platform.h"

namespace {

using zeva::platform::kEvErr;
using zeva::platform::kEvRxChar;
using zeva::platform::SerialPort;

// Delivers scheduled bytes (or a line error, or a hang-up) at their times.
class ScriptLine : public zeva::testing::VirtualLine {
 public:
  struct Arrival {
    uint64_t atUs;
    int bytes;
    bool lineError;
    bool hangUp;
  };
  explicit ScriptLine(std::vector<Arrival> arrivals) : arrivals_(std::move(arrivals)) {}
  void HostWrite(const uint8_t*, size_t, uint64_t) override {}
  std::optional<uint64_t> NextEventUs() override {
    if (next_ >= arrivals_.size()) return std::nullopt;
    return arrivals_[next_].atUs;
  }
  void AdvanceTo(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* lineError, bool* hungUp) override {
    for (; next_ < arrivals_.size() && arrivals_[next_].atUs <= nowUs; ++next_) {
      toHost->insert(toHost->end(), static_cast<size_t>(arrivals_[next_].bytes), 0x55);
      *lineError = *lineError || arrivals_[next_].lineError;
      *hungUp = *hungUp || arrivals_[next_].hangUp;
    }
  }

 private:
  std::vector<Arrival> arrivals_;
  size_t next_ = 0;
};

enum class Op {
  kBegin,       // the reader's watch begins (ReaderWatch)
  kEnd,         // ... and ends
  kReaderWait,  // the driver's wait inside the watch: WaitAsReader for `ms`
  kClientWait,  // the platform's plain wait (WaitForMessageOrTick) for `ms`
  kClientLoop,  // a message loop of the client's own (RunUntilUs) for `ms`
  kRead,        // the reader reads what is queued
  kClose,       // the port closes (from a callback inside the watch)
};

struct Step {
  Op op;
  uint32_t ms = 0;
};

enum class Who { kEventThread, kReader };

struct Told {
  Who who;
  uint64_t atUs;
  uint32_t mask;
  bool operator==(const Told& o) const { return who == o.who && atUs == o.atUs && mask == o.mask; }
};
void PrintTo(const Told& t, std::ostream* os) {
  *os << (t.who == Who::kReader ? "reader" : "thread") << "@" << t.atUs << ":" << t.mask;
}

struct WatchCase {
  const char* name;
  std::vector<ScriptLine::Arrival> line;
  std::vector<Step> steps;
  std::vector<Told> told;
  bool lastWaitWatched;  // the last reader wait watched the line
  uint64_t endUs;        // virtual time at the script's end
};

const WatchCase kWatchCases[] = {
    // The reader in its wait watches the line itself: the event thread
    // reporting too would wake two threads per event.
    {"ReaderInItsWaitIsToldItself",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kReaderWait, 10}, {Op::kEnd}},
     {{Who::kReader, 2000, kEvRxChar}},
     true,
     2000},
    // Without a watch the reader's wait watches nothing, and the event
    // thread reports at the bytes' moment.
    {"WithoutAWatchTheEventThreadReports",
     {{2000, 3, false, false}},
     {{Op::kReaderWait, 10}, {Op::kClientWait, 10}},
     {{Who::kEventThread, 2000, kEvRxChar}},
     false,
     10000},
    // A reader held up between two waits keeps the line for its lease, and
    // no longer: the event thread then reports what came meanwhile.
    {"HeldUpReaderKeepsTheLineForTheLeaseOnly",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kReaderWait, 1}, {Op::kClientWait, 30}, {Op::kEnd}},
     {{Who::kEventThread, 1000 + 20'000, kEvRxChar}},
     true,
     31000},
    // Ending the watch hands the line back at once: bytes right after it
    // must not wait out the reader's lease.
    {"EndHandsTheLineBackAtOnce",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kReaderWait, 1}, {Op::kEnd}, {Op::kClientWait, 10}},
     {{Who::kEventThread, 2000, kEvRxChar}},
     true,
     11000},
    // A callback runs a message loop of its own inside the watch: it waits
    // for data events the event thread must post, at once.
    {"OwnMessageLoopInsideTheWatchIsReportedTo",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kReaderWait, 1}, {Op::kClientLoop, 10}, {Op::kEnd}},
     {{Who::kEventThread, 2000, kEvRxChar}},
     true,
     11000},
    // ... and the driver's wait after that loop has the line again.
    {"ReaderTakesTheLineBackAfterTheOwnLoop",
     {{2000, 3, false, false}, {5000, 2, false, false}},
     {{Op::kBegin}, {Op::kClientLoop, 3}, {Op::kRead}, {Op::kReaderWait, 10}, {Op::kEnd}},
     {{Who::kEventThread, 2000, kEvRxChar}, {Who::kReader, 5000, kEvRxChar}},
     true,
     5000},
    // Nested watches count as one: an inner end must not take the line
    // from the outer call's wait.
    {"NestedWatchesCountAsOne",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kBegin}, {Op::kEnd}, {Op::kReaderWait, 10}, {Op::kEnd}},
     {{Who::kReader, 2000, kEvRxChar}},
     true,
     2000},
    // The port closes inside the watch (a callback's CloseCOM): nobody
    // watches or reports for it any more, and the outer end is harmless.
    {"CloseInsideTheWatchEndsBothWatchers",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kClose}, {Op::kReaderWait, 10}, {Op::kClientWait, 10}, {Op::kEnd}},
     {},
     false,
     10000},
    // The line goes away while the reader waits: its wait ends then, and it
    // waits as before it watched from then on.
    {"LineGoneEndsTheReadersWatch",
     {{3000, 0, false, true}},
     {{Op::kBegin}, {Op::kReaderWait, 10}, {Op::kReaderWait, 10}, {Op::kEnd}},
     {},
     false,
     3000},
    // The data event's post failed (or went to a window no longer there):
    // unread bytes are reported again to the waiting reader, else the port
    // would stay silent.
    {"UnreadBytesReportedAgainToTheWaitingReader",
     {{2000, 3, false, false}},
     {{Op::kBegin}, {Op::kReaderWait, 10}, {Op::kReaderWait, 300}, {Op::kEnd}},
     {{Who::kReader, 2000, kEvRxChar}, {Who::kReader, 2000 + 250'000, kEvRxChar}},
     true,
     252000},
    // The reader looked: the next bytes are news at their own moment.
    {"ReadMakesTheNextBytesNews",
     {{2000, 3, false, false}, {4000, 2, false, false}},
     {{Op::kBegin}, {Op::kReaderWait, 10}, {Op::kRead}, {Op::kReaderWait, 10}, {Op::kEnd}},
     {{Who::kReader, 2000, kEvRxChar}, {Who::kReader, 4000, kEvRxChar}},
     true,
     4000},
    // A line error reaches the waiting reader like data does, and one that
    // came while the event thread stood aside is reported when it looks.
    {"LineErrorReachesTheWaitingReader",
     {{2000, 0, true, false}},
     {{Op::kBegin}, {Op::kReaderWait, 10}, {Op::kEnd}},
     {{Who::kReader, 2000, kEvErr}},
     true,
     2000},
    {"LineErrorDuringTheLeaseReportedAfterIt",
     {{2000, 0, true, false}},
     {{Op::kBegin}, {Op::kReaderWait, 1}, {Op::kClientWait, 30}, {Op::kEnd}},
     {{Who::kEventThread, 1000 + 20'000, kEvErr}},
     true,
     31000},
};

class VirtualWatchTest : public ::testing::TestWithParam<WatchCase> {};

TEST_P(VirtualWatchTest, HandsTheLineOver) {
  const WatchCase& c = GetParam();
  zeva::testing::TestPlatform platform;
  ScriptLine line(c.line);
  platform.AttachLine(1, &line);
  zeva::platform::SerialStatus status;
  std::unique_ptr<SerialPort> port = platform.OpenSerial(1, zeva::platform::SerialConfig{}, &status);
  ASSERT_TRUE(port);
  std::vector<Told> told;
  auto thread = platform.StartEventThread(*port, {}, [&](uint32_t mask) {
    told.push_back({Who::kEventThread, platform.NowUs(), mask});
  });
  ASSERT_TRUE(thread);
  bool watched = false;
  bool closed = false;
  for (const Step& step : c.steps) {
    switch (step.op) {
      case Op::kBegin: port->BeginReaderWatch(); break;
      case Op::kEnd: port->EndReaderWatch(); break;
      case Op::kReaderWait: {
        const SerialPort::ReaderWait wait = port->WaitAsReader(platform.TickCount() + step.ms);
        watched = wait.watched;
        if (wait.events != 0) told.push_back({Who::kReader, platform.NowUs(), wait.events});
        break;
      }
      case Op::kClientWait: platform.WaitForMessageOrTick(platform.TickCount() + step.ms); break;
      case Op::kClientLoop: platform.RunUntilUs(platform.NowUs() + uint64_t{step.ms} * 1000); break;
      case Op::kRead: {
        uint8_t bytes[64];
        (void)port->Read(bytes, static_cast<int32_t>(sizeof bytes));
        break;
      }
      case Op::kClose:
        thread->Join();
        EXPECT_TRUE(port->Close().ok());
        closed = true;
        break;
    }
  }
  EXPECT_EQ(told, c.told);
  EXPECT_EQ(watched, c.lastWaitWatched);
  EXPECT_EQ(platform.NowUs(), c.endUs);
  if (!closed) thread->Join();
}

INSTANTIATE_TEST_SUITE_P(Rows, VirtualWatchTest, ::testing::ValuesIn(kWatchCases),
                         [](const ::testing::TestParamInfo<WatchCase>& info) { return info.param.name; });

}  // namespace
