// OpenCOM, CloseCOM, ReadBytes and WriteBytes over the test platform.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "link/frame.h"
#include "runtime_rig.h"
#include "runtime/window_bridge.h"
#include "runtime/channel.h"

namespace zeva::serial_test {
namespace {

using Kind = platform::SerialStatus::Code;

constexpr const char* kMissing = "The system cannot find the file specified.";
constexpr const char* kNoThread = "Not enough resources are available to process this command.";

struct OpenCase {
  const char* name;
  std::function<void(testing::TestPlatform&, DriverContext&)> arrange;
  bool nullWindow;
  int32_t result;
  const char* box;  // the system's text in an information box; nullptr: none
  size_t lineOpens;
  int lineCloses;
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

const OpenCase kOpenCases[] = {
    {"opens", nullptr, false, 1, nullptr, 1, 0},
    {"null_window", nullptr, true, 0, nullptr, 0, 0},
    {"missing_port", [](auto&, DriverContext& c) { c.core.settings.port = 2; }, false, 0, kMissing, 0, 0},
    {"event_thread_fails", [](testing::TestPlatform& p, auto&) { p.failEventThread = true; }, false, 0, kNoThread, 1,
     1},
    {"line_config_refused", [](testing::TestPlatform& p, auto&) { p.failConfig = true; }, false, 0, nullptr, 0, 0},
    {"bps_zero", [](auto&, DriverContext& c) { c.core.settings.bps = 0; }, false, 0, nullptr, 0, 0},
    {"bps_negative", [](auto&, DriverContext& c) { c.core.settings.bps = -9600; }, false, 0, nullptr, 0, 0},
    {"no_port_context", [](auto&, DriverContext& c) { runtime::ReleaseChannel(c.runtime); }, false, 0, nullptr, 1, 1},
};

class OpenCOMTest : public SerialRig, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenCOMTest, Outcome) {
  const OpenCase& c = GetParam();
  if (c.arrange) c.arrange(platform(), ctx());
  const HWND target = c.nullWindow ? nullptr : window;

  EXPECT_EQ(OpenCOM(ctx(), target), c.result);
  EXPECT_EQ(IsOpen(ctx()), c.result);
  EXPECT_EQ(ctx().runtime.bridge().clientWindow.load(), target);
  EXPECT_EQ(line.opens.size(), c.lineOpens);
  EXPECT_EQ(line.closes, c.lineCloses);
  if (ctx().runtime.channel() != nullptr && c.result == 0) {
    EXPECT_EQ(ctx().runtime.channel()->port.load(), nullptr);
  }
  if (c.box == nullptr) {
    EXPECT_TRUE(boxes().empty());
  } else {
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, c.box);
    EXPECT_EQ(boxes()[0].caption, "JV ZEVA COM driver");
    EXPECT_EQ(boxes()[0].type, static_cast<unsigned>(MB_ICONINFORMATION));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, OpenCOMTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialRig, OpenWhileOpenKeepsThePortButTakesTheWindow) {
  ASSERT_EQ(Open(), 1);
  const HWND other = CreateMessageWindow(&OtherClientProc);
  EXPECT_EQ(OpenCOM(ctx(), other), 0);
  EXPECT_EQ(IsOpen(ctx()), 1);
  EXPECT_EQ(line.opens.size(), 1u);
  EXPECT_EQ(ctx().runtime.bridge().clientWindow.load(), other);
  DetachWindowBridge(ctx());
  DestroyWindow(other);
}

TEST_F(SerialRig, CloseThenReopen) {
  CloseCOM(ctx());  // closed: nothing happens
  EXPECT_EQ(line.closes, 0);

  ASSERT_EQ(Open(), 1);
  CloseCOM(ctx());
  EXPECT_EQ(IsOpen(ctx()), 0);
  EXPECT_EQ(line.closes, 1);
  EXPECT_EQ(ctx().runtime.channel()->port.load(), nullptr);
  EXPECT_EQ(ctx().runtime.channel()->eventThread, nullptr);

  EXPECT_EQ(Open(), 1);
  EXPECT_EQ(line.opens.size(), 2u);
}

struct LineSettingsCase {
  int32_t bps;
  int16_t frameSize;
  int16_t rxBuffer;
  int16_t txBuffer;
  uint32_t perByteMs;
  uint8_t byteSize;
  int32_t rxQueue;
  int32_t txQueue;
};

TEST_F(SerialRig, LineSettingsFollowTheSettings) {
  const LineSettingsCase cases[] = {
      {19200, 8, 1024, 11, 1, 8, 1024, 11},  {9600, 8, 1024, 11, 2, 8, 1024, 11},
      {38400, 7, 1024, 11, 0, 7, 1024, 11},  {115200, 8, 1024, 11, 0, 8, 1024, 11},
      {4800, 8, 300, 20, 4, 8, 300, 20},     {19201, 8, 1024, 11, 0, 8, 1024, 11},
      {19200, 8, 0, 0, 1, 8, 1024, 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bps);
    ctx().core.settings.bps = c.bps;
    ctx().core.settings.frameSize = c.frameSize;
    ctx().core.settings.rxBuffer = c.rxBuffer;
    ctx().core.settings.txBuffer = c.txBuffer;
    line.opens.clear();
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(line.opens.size(), 1u);
    const platform::SerialConfig& config = line.opens[0];
    EXPECT_EQ(config.bps, c.bps);
    EXPECT_EQ(config.writeTimeoutPerByteMs, c.perByteMs);
    EXPECT_EQ(config.byteSize, c.byteSize);
    EXPECT_EQ(config.rxQueue, c.rxQueue);
    EXPECT_EQ(config.txQueue, c.txQueue);
    // A queue size of 0 is replaced for good.
    EXPECT_EQ(ctx().core.settings.rxBuffer, c.rxQueue);
    EXPECT_EQ(ctx().core.settings.txBuffer, c.txQueue);
    CloseCOM(ctx());
  }
}

// --- ReadBytes ----------------------------------------------------------------

TEST_F(SerialRig, ReadBytesTakesOnlyWhatIsQueued) {
  uint8_t buffer[300];
  EXPECT_EQ(ReadBytes(ctx(), buffer, 255), 0);  // closed

  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(ReadBytes(ctx(), buffer, 255), 0);  // nothing queued
  line.Schedule(5000, Bytes(300, 0x5A));
  platform().RunUntilUs(5000);  // delivered; the data event is not served yet
  ASSERT_EQ(platform().PendingHostBytes(1), 300u);

  EXPECT_EQ(ReadBytes(ctx(), buffer, 0), 0);
  EXPECT_EQ(ReadBytes(ctx(), buffer, -1), 0);
  EXPECT_EQ(ReadBytes(ctx(), buffer, 255), 255);
  EXPECT_EQ(ReadBytes(ctx(), buffer, 255), 45);
  EXPECT_EQ(ReadBytes(ctx(), buffer, 255), 0);
}

// --- WriteBytes ---------------------------------------------------------------

const uint8_t kPayload[6] = {1, 2, 3, 4, 5, 6};
const link::DataFrame kFrame = link::EncodeDataFrame(2, 5, 1, 0xC1, kPayload);

Bytes AckFrom5() {
  const link::ShortFrame ack = link::EncodeAck(2, 1, 5);
  return Bytes(ack.bytes.begin(), ack.bytes.begin() + ack.size);
}

struct WriteCase {
  const char* name;
  uint8_t echoCheck;
  WaitFor waitFor;
  bool echo;
  int corruptAt;  // -1: the echo comes back unchanged
  bool ack;       // device 5 acknowledges 3 ms after the write
  int32_t result;
  uint64_t waitedMs;
};
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

// Twice the packet timeout of 81 ms, and the wait ends on the tick after it.
constexpr uint64_t kFullWait = 163;

const WriteCase kWriteCases[] = {
    {"echo_off_is_a_plain_pause", 0, WaitFor::kEcho, true, -1, false, 11, kFullWait},
    {"echo_matches", 1, WaitFor::kEcho, true, -1, false, 11, 1},
    {"echo_differs_in_one_byte", 1, WaitFor::kEcho, true, 3, false, 0, kFullWait},
    {"echo_checksum_differs", 1, WaitFor::kEcho, true, 10, false, 0, kFullWait},
    {"no_echo", 1, WaitFor::kEcho, false, -1, false, 0, kFullWait},
    {"echo_and_ack", 1, WaitFor::kAck, true, -1, true, 11, 3},
    {"ack_missing_is_the_callers_business", 1, WaitFor::kAck, true, -1, false, 11, kFullWait},
    {"ack_without_echo_check", 0, WaitFor::kAck, true, -1, true, 11, 3},
};

class WriteBytesTest : public SerialRig, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteBytesTest, FrameOutcome) {
  const WriteCase& c = GetParam();
  ctx().core.switches.echoCheck = c.echoCheck;
  ctx().transact.lastDestination = 5;
  line.echo = c.echo;
  if (c.corruptAt >= 0) line.alterEcho = [&c](Bytes& b) { b[static_cast<size_t>(c.corruptAt)] ^= 0x01; };
  if (c.ack) line.onWrite = [this](const Bytes&, uint64_t now) { line.Schedule(now + 3000, AckFrom5()); };
  ASSERT_EQ(Open(), 1);

  const uint64_t start = platform().NowUs();
  EXPECT_EQ(WriteBytes(ctx(), kFrame.data(), link::kDataFrameSize, c.waitFor), c.result);
  EXPECT_EQ((platform().NowUs() - start) / 1000, c.waitedMs);

  ASSERT_EQ(line.writes.size(), 1u);
  EXPECT_EQ(line.writes[0], Bytes(kFrame.begin(), kFrame.end()));
  EXPECT_FALSE(ctx().core.flags.AllSet(SF_ECHO_PENDING));
  EXPECT_EQ(ctx().runtime.echo->writes(), 0) << "the echo bookkeeping is left as found";
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteBytesTest, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialRig, WriteWithThePortClosedChangesNothing) {
  ctx().core.flags.word = SF_ACK_PENDING | SF_ECHO_MATCHED;
  EXPECT_EQ(WriteBytes(ctx(), kFrame.data(), link::kDataFrameSize, WaitFor::kAck), 0);
  EXPECT_EQ(ctx().core.flags.word, SF_ACK_PENDING | SF_ECHO_MATCHED);
  EXPECT_EQ(ctx().runtime.echo->writes(), 0);
  EXPECT_EQ(platform().NowUs(), 0u);
}

TEST_F(SerialRig, TenEchoMarkersAbortTheWrite) {
  for (int32_t noErrMsgBox : {0, 1}) {  // always a box
    SCOPED_TRACE(noErrMsgBox);
    ctx().core.switches.noErrMsgBox = noErrMsgBox;
    ASSERT_EQ(Open(), 1);
    for (int i = 0; i < link::EchoTracker::kMaxWrites; ++i) ctx().runtime.echo->Expect(nullptr, 0);
    fixture_.boxes.clear();

    EXPECT_EQ(WriteBytes(ctx(), kFrame.data(), link::kDataFrameSize, WaitFor::kEcho), 0);
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, "Too many requests, requested operation aborted");
    EXPECT_EQ(boxes()[0].caption, "JV ZEVA COM driver");
    EXPECT_EQ(boxes()[0].type, static_cast<unsigned>(MB_ICONERROR));
    EXPECT_TRUE(line.writes.empty());
    EXPECT_TRUE(ctx().core.flags.AllSet(SF_ECHO_PENDING));
    EXPECT_EQ(ctx().runtime.echo->length(), 0);

    ctx().runtime.echo->Reset();
    ctx().core.flags.Reset();
    CloseCOM(ctx());
  }
}

struct FailedWriteCase {
  const char* name;
  platform::SerialStatus outcome;
  int32_t noErrMsgBox;
  bool window;
  const char* box;   // text of an information box; nullptr: none
  bool posted;       // EVT_DRIVER_ERROR 1 posted to the client
};
void PrintTo(const FailedWriteCase& c, std::ostream* os) { *os << c.name; }

const FailedWriteCase kFailedWrites[] = {
    {"error_is_silent", {Kind::kFailed, 0}, 0, true, nullptr, false},
    {"timeout_box", {Kind::kTimeout, 3}, 0, true, "\nProbable Write Timeout: Total of 3 bytes sent", false},
    {"timeout_box_without_window", {Kind::kTimeout, 0}, 0, false, "\nProbable Write Timeout: Total of 0 bytes sent",
     false},
    {"timeout_posted", {Kind::kTimeout, 3}, 1, true, nullptr, true},
    {"timeout_no_window_no_report", {Kind::kTimeout, 3}, 1, false, nullptr, false},
};

class FailedWriteTest : public SerialRig, public ::testing::WithParamInterface<FailedWriteCase> {};

TEST_P(FailedWriteTest, TakesTheEchoBackAndReports) {
  const FailedWriteCase& c = GetParam();
  ASSERT_EQ(Open(), 1);
  if (!c.window) SetClientHWND(ctx(), nullptr);
  ctx().core.switches.noErrMsgBox = c.noErrMsgBox;
  platform().writeOverride = [&c](const uint8_t*, int32_t) { return c.outcome; };
  // An earlier write, still waiting for its echo (this one is made inside its wait).
  const uint8_t earlier[2] = {0xAA, 0xBB};
  ctx().runtime.echo->Expect(earlier, 2);

  EXPECT_EQ(WriteBytes(ctx(), kFrame.data(), link::kDataFrameSize, WaitFor::kAck), 0);
  EXPECT_EQ(platform().NowUs(), 0u);  // no wait after a failed write
  // Only this write's bytes are taken back; the earlier echo is still due.
  EXPECT_EQ(ctx().runtime.echo->writes(), 1);
  EXPECT_EQ(ctx().runtime.echo->length(), 2);
  EXPECT_TRUE(ctx().core.flags.AllSet(SF_ECHO_PENDING));

  if (c.box == nullptr) {
    EXPECT_TRUE(boxes().empty());
  } else {
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].text, c.box);
    EXPECT_EQ(boxes()[0].caption, "JV ZEVA COM driver");
    EXPECT_EQ(boxes()[0].type, static_cast<unsigned>(MB_ICONINFORMATION));
  }
  int posts = 0;
  for (const MSG& m : QueuedMessages()) {
    if (m.message == ctx().runtime.bridge().eventMessageId && m.wParam == EVT_DRIVER_ERROR && m.lParam == 1) ++posts;
  }
  EXPECT_EQ(posts, c.posted ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedWriteTest, ::testing::ValuesIn(kFailedWrites),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SerialRig, TimeoutWithEveryByteWrittenIsASuccess) {
  ctx().core.switches.echoCheck = 0;
  ASSERT_EQ(Open(), 1);
  platform().writeOverride = [](const uint8_t*, int32_t n) { return platform::SerialStatus::Timeout(n); };
  EXPECT_EQ(WriteBytes(ctx(), kFrame.data(), link::kDataFrameSize, WaitFor::kEcho), link::kDataFrameSize);
  EXPECT_TRUE(boxes().empty());
}

}  // namespace
}  // namespace zeva::serial_test
