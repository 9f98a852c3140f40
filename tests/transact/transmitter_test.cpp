// The transmitter over the simulated bus: the frames it puts on the wire,
// its repeats and their timing, response waits, refusals and the
// checksum-only pass.
#include <gtest/gtest.h>

#include <numeric>

#include "core/config.h"
#include "link/frame.h"
#include "transact/transmitter.h"
#include "transact_stack.h"
#include "transact/request_table.h"

namespace zeva::transact_test {
namespace {

constexpr uint8_t kDevice = 5;
constexpr uint8_t kStation = 1;

Bytes Message(size_t n) {
  Bytes m(n);
  std::iota(m.begin(), m.end(), uint8_t{0x11});
  return m;
}

OutgoingMessage Msg(uint8_t destination, uint8_t type, const uint8_t* data, size_t length) {
  return {.destination = destination, .type = type, .data = data, .length = static_cast<uint16_t>(length)};
}

Bytes Slice(const Bytes& m, size_t offset) {
  Bytes out;
  for (size_t i = offset; i < offset + 6 && i < m.size(); ++i) out.push_back(m[i]);
  return out;
}

// --- framing --------------------------------------------------------------

struct FramingCase {
  const char* name;
  int32_t protocol;
  uint8_t destination;
  size_t length;
  TransmitMode mode;
  std::vector<uint8_t> controls;  // one per frame written
};

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, WritesTheseFramesAndSucceeds) {
  const FramingCase& c = GetParam();
  sim::BusConfig config;
  config.protocol = c.protocol;
  Stack s(config);
  s.AddDevice(kDevice);
  const Bytes msg = Message(c.length);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(c.destination, 2, msg.data(), c.length), {.mode = c.mode}), kTxDone);
  std::vector<Bytes> expected;
  for (size_t i = 0; i < c.controls.size(); ++i) {
    expected.push_back(DataFrameBytes(c.protocol, c.destination, kStation, c.controls[i], Slice(msg, 6 * i)));
  }
  EXPECT_EQ(s.HostBytes(), expected);
  EXPECT_FALSE(s.ctx.core.flags.AllSet(SF_TX_ACTIVE));
  EXPECT_EQ(s.ctx.transact.lastDestination, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Transmitter, Framing,
    ::testing::Values(
        FramingCase{"Empty", 2, kDevice, 0, kModeNormal, {0x02}},
        FramingCase{"Six", 2, kDevice, 6, kModeNormal, {0xC2}},
        FramingCase{"Seven", 2, kDevice, 7, kModeNormal, {0xC2, 0x22}},
        FramingCase{"SevenProtocol1", 1, kDevice, 7, kModeNormal, {0xC2, 0x22}},
        FramingCase{"AlternatingBitOnOddFrames", 2, kDevice, 26, kModeAlternating, {0xC2, 0xCA, 0xC2, 0xCA, 0x42}},
        FramingCase{"BroadcastOnlyFirstFrame", 2, 0, 20, kModeNormal, {0xDA}},
        FramingCase{"BroadcastAlternatingOnlyFirstFrame", 2, 0, 20, kModeAlternating, {0xDA}},
        FramingCase{"UnackedOnlyFirstFrame", 2, kDevice, 20, kModeUnacked, {0xDA}},
        FramingCase{"OtherModeActsUnacked", 2, kDevice, 20, static_cast<TransmitMode>(9), {0xDA}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Transmitter, UnackedModeReportsDoneWhenTheWriteFailed) {
  Stack s;
  s.AddDevice(kDevice);
  s.fx.platform.writeOverride = [](const uint8_t*, int32_t) {
    return platform::SerialStatus::Failed();
  };
  const Bytes msg = Message(20);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 20), {.mode = kModeUnacked}), kTxDone);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(0, 2, msg.data(), 20), {.mode = kModeNormal}), kTxDone);
  EXPECT_TRUE(s.HostBytes().empty());
}

// A type-6 message is a data frame only in the acknowledged modes; a device
// takes its control byte for a short frame, so none acknowledges it.
TEST(Transmitter, Type6InNormalModeIsAnElevenByteFrame) {
  Stack s;
  s.AddDevice(kDevice);
  std::vector<Bytes> out;
  s.ctx.runtime.trace = [&out](int direction, const uint8_t* bytes, int32_t n) {
    if (direction == 0) out.emplace_back(bytes, bytes + n);
  };
  const Bytes msg = {4, 0, 0, 0, 0, 0};
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 6, msg.data(), 6), {.mode = kModeNormal}), kTxFailed);
  const Bytes frame = DataFrameBytes(2, kDevice, kStation, 0xC6, msg);
  EXPECT_EQ(out, std::vector<Bytes>(kSendAttempts, frame));
}

struct ShortFrameCase {
  const char* name;
  uint8_t firstByte;
  TransmitMode mode;
  bool checksumOnly;
  int32_t result;
  int32_t control;  // -1: nothing written
};

class ShortFrames : public ::testing::TestWithParam<ShortFrameCase> {};

TEST_P(ShortFrames, Type6Unacked) {
  const ShortFrameCase& c = GetParam();
  Stack s;
  sim::Device& device = s.AddDevice(kDevice);
  const Bytes msg = {c.firstByte, 9, 9, 9, 9, 9};
  const OutgoingMessage m = Msg(kDevice, 6, msg.data(), 6);
  EXPECT_EQ(c.checksumOnly ? SumFrameChecksums(s.ctx, m, c.mode).status : TransmitMessage(s.ctx, m, {.mode = c.mode}),
            c.result);
  if (c.control < 0) {
    EXPECT_TRUE(s.AllBursts().empty());
    return;
  }
  const link::ShortFrame f = link::EncodeShortFrame(2, kDevice, kStation, static_cast<uint8_t>(c.control));
  EXPECT_EQ(s.HostBytes(), std::vector<Bytes>{Bytes(f.bytes.begin(), f.bytes.begin() + f.size)});
  ASSERT_EQ(device.commands().size(), 1u);
  EXPECT_EQ(device.commands()[0].command, sim::Command::kResetComm);
  EXPECT_EQ(device.commands()[0].data[0], c.firstByte & 3);
}

INSTANTIATE_TEST_SUITE_P(
    Transmitter, ShortFrames,
    ::testing::Values(ShortFrameCase{"CodeFromLowBits", 4, kModeUnacked, false, kTxDone, 0x1E},
                      ShortFrameCase{"Code1", 5, kModeUnacked, false, kTxDone, 0x3E},
                      ShortFrameCase{"Code3", 7, kModeUnacked, false, kTxDone, 0x7E},
                      ShortFrameCase{"FirstByteZeroSendsNothing", 0, kModeUnacked, false, kTxFailed, -1},
                      ShortFrameCase{"FirstByteZeroNormalMode", 0, kModeNormal, false, kTxFailed, -1},
                      ShortFrameCase{"ChecksumOnlyStillWrites", 6, kModeUnacked, true, kTxDone, 0x5E}),
    [](const auto& info) { return std::string(info.param.name); });

// --- acknowledgement and repeats -------------------------------------------

TEST(Transmitter, AdapterHandlesAcknowledgements) {
  Stack s;
  s.AddDevice(kDevice).faults.silent = true;
  config::SetAdapterID(s.ctx, 1);  // also turns the echo check off
  const Bytes msg = Message(7);
  const uint64_t t0 = s.NowUs();
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 7), {.mode = kModeNormal}), kTxDone);
  EXPECT_EQ(s.HostBytes().size(), 2u);
  // Each frame still waits out twice the packet timeout for an acknowledgement.
  EXPECT_EQ(s.NowUs() - t0, 2 * 163'000u);
}

struct RetryCase {
  const char* name;
  int randValue;
  uint32_t r;
};

class FiveAttempts : public ::testing::TestWithParam<RetryCase> {};

// Each attempt waits twice the packet timeout for the acknowledgement, then
// pauses (packet timeout + r) times the attempt number; a timed-out wait
// ends on the first tick past its deadline.
TEST_P(FiveAttempts, SilentDeviceFailsAfterGrowingPauses) {
  const RetryCase& c = GetParam();
  Stack s;
  s.AddDevice(kDevice).faults.silent = true;
  s.fx.platform.rand = [&c] { return c.randValue; };
  const Bytes msg = Message(6);
  const uint64_t t0 = s.NowUs();
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 6), {.mode = kModeNormal}), kTxFailed);
  const std::vector<WireFrame> writes = s.WireFrames(sim::TalkerKind::kHost);
  ASSERT_EQ(writes.size(), 5u);
  uint64_t expectedTotal = 0;
  for (uint32_t attempt = 1; attempt <= 5; ++attempt) {
    const uint64_t attemptMs = (2 * 81 + 1) + ((81 + c.r) * attempt + 1);
    if (attempt < 5) {
      EXPECT_EQ(writes[attempt].startUs - writes[attempt - 1].startUs, attemptMs * 1000) << attempt;
    }
    expectedTotal += attemptMs;
  }
  EXPECT_EQ(s.NowUs() - t0, expectedTotal * 1000);
  for (const WireFrame& w : writes) EXPECT_EQ(w.bytes, writes[0].bytes);
  EXPECT_FALSE(s.ctx.core.flags.AllSet(SF_TX_ACTIVE));
}

INSTANTIATE_TEST_SUITE_P(Transmitter, FiveAttempts,
                         ::testing::Values(RetryCase{"RandomPartZero", 0x7FEF, 0},
                                           RetryCase{"RandomPartSixteen", 0x0010, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Transmitter, RepeatedFrameKeepsItsAlternationBit) {
  Stack s;
  s.AddDevice(kDevice);
  const Bytes msg = Message(12);
  // The second frame's first acknowledgement is lost.
  int frames = 0;
  s.bus.onTrace = [&](const sim::TraceEntry& e) {
    if (e.talker.kind == sim::TalkerKind::kHost && ++frames == 2) s.bus.device(0).faults.dropAcks = 1;
  };
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 12), {.mode = kModeAlternating}), kTxDone);
  std::vector<uint8_t> controls;
  for (const Bytes& b : s.HostBytes()) controls.push_back(b[3]);
  EXPECT_EQ(controls, (std::vector<uint8_t>{0xC2, 0xCA, 0xCA}));
}

// --- checksum-only pass ------------------------------------------------------

struct ChecksumCase {
  int32_t protocol;
  int32_t sum;
};

class ChecksumOnly : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(ChecksumOnly, SumsTheFrameChecksumsAndWritesNothing) {
  sim::BusConfig config;
  config.protocol = GetParam().protocol;
  Stack s(config);
  s.AddDevice(kDevice);
  const Bytes msg = {1, 2, 3, 4, 5, 6, 7};
  const ChecksumPass pass = SumFrameChecksums(s.ctx, Msg(kDevice, 2, msg.data(), 7), kModeAlternating);
  EXPECT_EQ(pass.status, kTxDone);
  EXPECT_EQ(pass.sum, GetParam().sum);
  EXPECT_TRUE(s.AllBursts().empty());
  EXPECT_FALSE(s.ctx.core.flags.AllSet(SF_TX_ACTIVE));
  EXPECT_FALSE(s.ctx.core.flags.AllSet(SF_ACK_PENDING));
  EXPECT_EQ(s.ctx.transact.lastDestination, 0);
}

INSTANTIATE_TEST_SUITE_P(Transmitter, ChecksumOnly,
                         ::testing::Values(ChecksumCase{1, 0x14}, ChecksumCase{2, 0xBB}));

// Offsets are compared without wrapping: the longest messages end.
TEST(Transmitter, LongestMessageEndsAfterItsLastFrame) {
  Stack s;
  Bytes msg(65535);
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<uint8_t>(i * 7 + 3);
  uint8_t expected = 0;
  for (size_t offset = 0; offset < msg.size(); offset += 6) {
    const size_t count = std::min<size_t>(6, msg.size() - offset);
    const uint8_t control = static_cast<uint8_t>(count << 5 | 2);
    expected = static_cast<uint8_t>(expected + DataFrameBytes(2, kDevice, kStation, control, Slice(msg, offset))[10]);
  }
  EXPECT_EQ(SumFrameChecksums(s.ctx, Msg(kDevice, 2, msg.data(), 65535), kModeNormal).sum, expected);
}

// --- response wait -------------------------------------------------------------

struct ResponseCase {
  const char* name;
  uint8_t deviceCode;
  int32_t wrongSourceReplies;
  int32_t result;
};

class ResponseWait : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseWait, EachFrameWaitsForTheAwaitedCode) {
  const ResponseCase& c = GetParam();
  Stack s;
  sim::Device& device = s.AddDevice(kDevice);
  device.set_response_code(c.deviceCode);
  device.faults.wrongSourceReplies = c.wrongSourceReplies;
  device.faults.wrongSource = 9;
  const Bytes msg = Message(12);
  const uint64_t t0 = s.NowUs();
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 12), {.mode = kModeNormal, .awaitedResponse = 0xF4}),
            c.result);
  EXPECT_EQ(s.ctx.transact.requests->count(), 0);
  // A wrong answer ends the message at its first frame.
  EXPECT_EQ(s.HostDataFrames().size(), c.result == kTxDone ? 2u : 1u);
  if (c.deviceCode == 0) {
    EXPECT_GE(s.NowUs() - t0, 5000'000u);
  }
  EXPECT_EQ(s.ctx.transact.awaitedResponseCode, 0);  // nothing left for the dispatcher to compare with
}

INSTANTIATE_TEST_SUITE_P(Transmitter, ResponseWait,
                         ::testing::Values(ResponseCase{"Matching", 0xF4, 0, kTxDone},
                                           ResponseCase{"OtherCode", 0xF3, 0, kTxFailed},
                                           ResponseCase{"NoResponse", 0, 0, kTxFailed},
                                           ResponseCase{"OtherSource", 0xF4, 1, kTxFailed}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Transmitter, FullRequestTableAbortsWithDriverError12) {
  Stack s;
  s.AddDevice(kDevice);
  for (int i = 0; i < RequestTable::kMaxRequests; ++i) s.ctx.transact.requests->Push(RQ_IDENTIFY, 7, 0, nullptr, nullptr);
  const Bytes msg = Message(6);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 6), {.mode = kModeNormal, .awaitedResponse = 0xF4}),
            kTxFailed);
  EXPECT_TRUE(s.AllBursts().empty());
  EXPECT_FALSE(s.ctx.core.flags.AllSet(SF_TX_ACTIVE));
  s.RunMs(1);
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_EQ(s.errors[0].code, 12);
  EXPECT_EQ(s.errors[0].text, "Too many requests, requested operation aborted");
  EXPECT_TRUE(s.fx.boxes.boxes().empty());
}

// --- refusals ------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  uint32_t flags;
  ReceiveLoop receiveLoop;
  int32_t result;
  uint32_t flagsAfter;
  uint8_t lastDestinationAfter;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

// A transmission waiting for its echo keeps its marks; a refusal from
// inside the receive loop ends like any transmission, and one made inside
// another transmission leaves that one's mark and destination.
TEST_P(Refusals, BusyOrNot) {
  const RefusalCase& c = GetParam();
  Stack s;
  s.AddDevice(kDevice);
  s.ctx.core.flags.Set(c.flags);
  s.ctx.transact.receiveLoop = c.receiveLoop;
  s.ctx.transact.lastDestination = 9;
  const Bytes msg = Message(6);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 6), {.mode = kModeNormal}), c.result);
  EXPECT_EQ(s.ctx.core.flags.word & (SF_TX_ACTIVE | SF_ECHO_PENDING), c.flagsAfter);
  EXPECT_EQ(s.ctx.transact.lastDestination, c.lastDestinationAfter);
  EXPECT_EQ(s.HostDataFrames().size(), c.result == kTxBusy ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Transmitter, Refusals,
    ::testing::Values(RefusalCase{"EchoPending", SF_TX_ACTIVE | SF_ECHO_PENDING, ReceiveLoop::kIdle, kTxBusy,
                                  SF_TX_ACTIVE | SF_ECHO_PENDING, 9},
                      RefusalCase{"TxActiveAlonePasses", SF_TX_ACTIVE, ReceiveLoop::kIdle, kTxDone, SF_TX_ACTIVE, 9},
                      RefusalCase{"ReceiveLoopRunsInsideATransmission", SF_TX_ACTIVE, ReceiveLoop::kRunning, kTxBusy, SF_TX_ACTIVE, 9},
                      RefusalCase{"ReceiveLoopRuns", 0, ReceiveLoop::kRunning, kTxBusy, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- programming mode ------------------------------------------------------------

TEST(Transmitter, ProgrammingModePausesAndReportsProgress) {
  Stack s;
  s.AddDevice(kDevice);
  const Bytes msg = Message(14);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, msg.data(), 14), {.mode = kModeNormal, .programming = true}), kTxDone);
  EXPECT_EQ(s.progress, (std::vector<int32_t>{0, 42, 85}));
  const std::vector<WireFrame> writes = s.WireFrames(sim::TalkerKind::kHost);
  const std::vector<WireFrame> acks = s.WireFrames(sim::TalkerKind::kDevice);
  ASSERT_EQ(writes.size(), 3u);
  ASSERT_EQ(acks.size(), 3u);
  // The pause starts when the acknowledgement is in and ends a tick past 250 ms.
  for (size_t i = 1; i < writes.size(); ++i) {
    EXPECT_GE(writes[i].startUs - acks[i - 1].endUs, 250'000u);
    EXPECT_LE(writes[i].startUs - acks[i - 1].endUs, 251'000u);
  }
}

TEST(Transmitter, ProgressOfAnEmptyMessageIsZero) {
  Stack s;
  s.AddDevice(kDevice);
  EXPECT_EQ(TransmitMessage(s.ctx, Msg(kDevice, 2, nullptr, 0), {.mode = kModeNormal, .programming = true}), kTxDone);
  EXPECT_EQ(s.progress, std::vector<int32_t>{0});
}

TEST(EndTransmissionTest, ReturnsItsArgumentAndClearsOnlyTheTransmissionMarks) {
  test::DriverFixture f;
  for (int v = 0; v < 256; ++v) {
    f.ctx->core.flags.word = 0x7FFF;
    f.ctx->transact.lastDestination = 5;
    EXPECT_EQ(EndTransmission(*f.ctx, static_cast<uint8_t>(v)), v);
    EXPECT_EQ(f.ctx->core.flags.word, 0x7FFFu & ~SF_TX_ACTIVE);
    EXPECT_EQ(f.ctx->transact.lastDestination, 0);
  }
}

}  // namespace
}  // namespace zeva::transact_test
