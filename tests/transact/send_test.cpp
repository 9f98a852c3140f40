// Send, SendData, sendRaw and TestStream over the simulated bus.
#include <gtest/gtest.h>

#include "core/config.h"
#include "link/frame.h"
#include "runtime/port.h"
#include "transact/data_interface.h"
#include "transact/send.h"
#include "transact_stack.h"

namespace zeva::transact_test {
namespace {

constexpr uint8_t kStation = 1;
const Bytes kPattern = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};

Bytes Out(const DriverContext& ctx) { return Bytes(ctx.transact.outputBuffer, ctx.transact.outputBuffer + 6); }

void FillOutputBuffer(DriverContext& ctx) { std::copy(kPattern.begin(), kPattern.end(), ctx.transact.outputBuffer); }

// --- Send ------------------------------------------------------------------------

TEST(Send, SendsTheOutputBufferAsTypeOneAndClearsIt) {
  Stack s;
  s.AddDevice(5);
  SetInt(s.ctx, 0x1234, 0);
  SetInt(s.ctx, 0xABCD, 1);
  s.ctx.transact.outputBuffer[4] = 0x77;  // not the client's: sent as 0
  EXPECT_EQ(Send(s.ctx, 5, 0x133, 0), 1);
  const Bytes frame = {0xFE, 0x05, kStation, 0xC1, 0x34, 0x12, 0xCD, 0xAB, 0x00, 0x33};
  const std::vector<Bytes> sent = s.HostDataFrames();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 10), frame);
  EXPECT_EQ(sent[0][10], link::Checksum(2, frame.data() + 1, 9));
  EXPECT_EQ(Out(s.ctx), Bytes(6, 0));
}

struct SendRefusal {
  const char* name;
  bool open;
  int32_t address;
  int32_t mode;
  int32_t result;
};

class SendRefusals : public ::testing::TestWithParam<SendRefusal> {};

TEST_P(SendRefusals, LeaveTheBufferAlone) {
  const SendRefusal& c = GetParam();
  Stack s;
  s.AddDevice(5);
  if (!c.open) CloseCOM(s.ctx);
  FillOutputBuffer(s.ctx);
  config::SetResponseMsg(s.ctx, 0x1F4);
  EXPECT_EQ(Send(s.ctx, c.address, 0x33, c.mode), c.result);
  EXPECT_EQ(Out(s.ctx), kPattern);
  EXPECT_EQ(s.ctx.core.switches.responseMsg, 0x1F4);
  EXPECT_TRUE(s.AllBursts().empty());
}

INSTANTIATE_TEST_SUITE_P(Send, SendRefusals,
                         ::testing::Values(SendRefusal{"PortClosed", false, 5, 0, 16},
                                           SendRefusal{"PortClosedBeatsBadAddress", false, 300, 0, 16},
                                           SendRefusal{"Address128", true, 128, 0, 99},
                                           SendRefusal{"NegativeAddress", true, -1, 0, 99},
                                           SendRefusal{"AddressLow16Negative", true, 0x1FFFF, 0, 99},
                                           SendRefusal{"Mode2", true, 5, 2, 99},
                                           SendRefusal{"ModeHighBits", true, 5, 0x10000, 99}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SendOutcome {
  const char* name;
  bool silent;
  bool busy;
  int32_t result;
};

class SendOutcomes : public ::testing::TestWithParam<SendOutcome> {};

TEST_P(SendOutcomes, ClearTheBufferWhateverTheResult) {
  const SendOutcome& c = GetParam();
  Stack s;
  s.AddDevice(5).faults.silent = c.silent;
  if (c.busy) s.ctx.core.flags.Set(SF_TX_ACTIVE | SF_ECHO_PENDING);
  FillOutputBuffer(s.ctx);
  s.ctx.transact.awaitedResponseCode = 0xF4;  // Send awaits no response, whatever code stands in the context
  EXPECT_EQ(Send(s.ctx, 5 + 0x10000, 0x33, 0), c.result);  // only the low 16 bits count
  EXPECT_EQ(Out(s.ctx), Bytes(6, 0));
}

INSTANTIATE_TEST_SUITE_P(Send, SendOutcomes,
                         ::testing::Values(SendOutcome{"Done", false, false, 1},
                                           SendOutcome{"Failed", true, false, 0},
                                           SendOutcome{"Busy", false, true, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A callback of the receive loop is still inside the loop's mark unless an
// acknowledgement write let a nested run clear it.
struct FromCallbackCase {
  const char* name;
  uint8_t destination;
  int32_t result;
};

class SendFromCallback : public ::testing::TestWithParam<FromCallbackCase> {};

TEST_P(SendFromCallback, IsBusyWhileTheLoopIsMarked) {
  Stack s;
  s.AddDevice(5);
  std::vector<int32_t> results;
  s.onData = [&s, &results](const DataEvent&) {
    if (results.empty()) results.push_back(Send(s.ctx, 5, 0x33, 0));  // not again for the reply
  };
  s.bus.SendUnsolicited(0, s.NowUs() + 1000, GetParam().destination, 0xC4, {1, 2, 3, 4, 5, 6});
  s.RunMs(20);
  EXPECT_EQ(results, std::vector<int32_t>{GetParam().result});
}

INSTANTIATE_TEST_SUITE_P(Send, SendFromCallback,
                         ::testing::Values(FromCallbackCase{"Broadcast", 0, 2},
                                           FromCallbackCase{"AfterAcknowledgement", kStation, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- SendData ----------------------------------------------------------------------

struct SendDataCase {
  const char* name;
  int32_t responseMsg;
  int32_t mode;
  uint8_t deviceCode;
  uint8_t awaitedOnWire;  // AwaitedResponseCode while the frames were written
  int32_t result;
};

class SendDataResponse : public ::testing::TestWithParam<SendDataCase> {};

TEST_P(SendDataResponse, ResponseMsgIsOneShot) {
  const SendDataCase& c = GetParam();
  Stack s;
  s.AddDevice(5).set_response_code(c.deviceCode);
  std::vector<uint8_t> awaited;
  s.bus.onTrace = [&](const sim::TraceEntry& e) {
    if (e.talker.kind == sim::TalkerKind::kHost && e.bytes.size() == link::kDataFrameSize) {
      awaited.push_back(s.ctx.transact.awaitedResponseCode);
    }
  };
  config::SetResponseMsg(s.ctx, c.responseMsg);
  const Bytes msg = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(SendData(s.ctx, 5, c.mode, 2, msg.data(), 8), c.result);
  EXPECT_EQ(awaited, std::vector<uint8_t>(2, c.awaitedOnWire));
  EXPECT_EQ(s.ctx.transact.awaitedResponseCode, 0);
  EXPECT_EQ(s.ctx.core.switches.responseMsg, 0);
}

INSTANTIATE_TEST_SUITE_P(
    SendData, SendDataResponse,
    ::testing::Values(SendDataCase{"NoCodeNoWait", 0, 2, 0, 0, 1},
                      SendDataCase{"LowByteOfTheCode", 0x1F4, 2, 0xF4, 0xF4, 1},
                      SendDataCase{"OnlyInAlternatingMode", 0x1F4, 0, 0, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SendData, TypeModulo8AndLengthModulo65536) {
  Stack s;
  s.AddDevice(5);
  const Bytes msg = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(SendData(s.ctx, 5, 0, 8 + 3, msg.data(), 0x10007), 1);
  EXPECT_EQ(s.HostDataFrames(), (std::vector<Bytes>{DataFrameBytes(2, 5, kStation, 0xC3, {1, 2, 3, 4, 5, 6}),
                                                    DataFrameBytes(2, 5, kStation, 0x23, {7})}));
}

struct SendDataRefusal {
  const char* name;
  bool open;
  int32_t address;
  int32_t mode;
  bool nullData;
  int32_t result;
};

class SendDataRefusals : public ::testing::TestWithParam<SendDataRefusal> {};

TEST_P(SendDataRefusals, ChangeNothing) {
  const SendDataRefusal& c = GetParam();
  Stack s;
  s.AddDevice(5);
  if (!c.open) CloseCOM(s.ctx);
  config::SetResponseMsg(s.ctx, 0xF4);
  const Bytes msg = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(SendData(s.ctx, c.address, c.mode, 1, c.nullData ? nullptr : msg.data(), 6), c.result);
  EXPECT_EQ(s.ctx.core.switches.responseMsg, 0xF4);
  EXPECT_TRUE(s.AllBursts().empty());
}

INSTANTIATE_TEST_SUITE_P(SendData, SendDataRefusals,
                         ::testing::Values(SendDataRefusal{"PortClosed", false, 5, 0, false, 16},
                                           SendDataRefusal{"Address128", true, 128, 0, false, 99},
                                           SendDataRefusal{"Mode3", true, 5, 3, false, 99},
                                           SendDataRefusal{"NegativeMode", true, 5, -1, false, 99},
                                           SendDataRefusal{"NoData", true, 5, 0, true, 99}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- sendRaw ----------------------------------------------------------------------------

enum class RawSetup { kNone, kClosed, kBusy, kCorruptEcho };

struct RawCase {
  const char* name;
  Bytes bytes;
  int32_t wholeFrame;
  RawSetup setup;
  int32_t result;
  int16_t word;      // the result word afterwards (-1: untouched)
  Bytes afterwards;  // the caller's bytes afterwards
};

class RawSends : public ::testing::TestWithParam<RawCase> {};

// No device on the line: its reply would be acknowledged from inside the
// raw write's wait, and that write's echo would end the wait.
TEST_P(RawSends, ChecksumsAndWritesAsTheBytesStand) {
  const RawCase& c = GetParam();
  Stack s;
  if (c.setup == RawSetup::kClosed) CloseCOM(s.ctx);
  if (c.setup == RawSetup::kBusy) s.ctx.core.flags.Set(SF_TX_ACTIVE | SF_ECHO_PENDING);
  if (c.setup == RawSetup::kCorruptEcho) s.bus.CorruptNextEcho(3);
  std::vector<uint8_t> marks;  // RawSendActive while the write waits
  s.fx.platform.onAdvance = [&](uint64_t, uint64_t) { marks.push_back(s.ctx.transact.rawSendActive); };
  Bytes bytes = c.bytes;
  int16_t word = -1;
  EXPECT_EQ(SendRaw(s.ctx, bytes.data(), static_cast<int32_t>(bytes.size()), &word, c.wholeFrame), c.result);
  EXPECT_EQ(word, c.word);
  EXPECT_EQ(bytes, c.afterwards);
  EXPECT_EQ(s.ctx.transact.rawSendActive, 0);
  if (c.setup != RawSetup::kBusy) {
    EXPECT_FALSE(s.ctx.core.flags.AllSet(SF_TX_ACTIVE));
  }
  const bool written = c.result == 1 || c.setup == RawSetup::kCorruptEcho;
  if (!written) {
    EXPECT_TRUE(s.AllBursts().empty());
    return;
  }
  ASSERT_FALSE(s.AllBursts().empty());
  EXPECT_EQ(s.AllBursts()[0], c.afterwards);
  ASSERT_FALSE(marks.empty());
  EXPECT_EQ(marks.front(), 1);
}

const Bytes kRawFrame = {0xFE, 0x05, 0x01, 0xC1, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00};
const Bytes kRawFrameChecked = {0xFE, 0x05, 0x01, 0xC1, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x5C};

INSTANTIATE_TEST_SUITE_P(
    SendRaw, RawSends,
    ::testing::Values(
        RawCase{"WholeFrame", kRawFrame, 1, RawSetup::kNone, 1, 0x5C, kRawFrameChecked},
        RawCase{"WholeFrameFlagLow16", kRawFrame, 0x10000, RawSetup::kNone, 1,
                static_cast<int16_t>(link::Checksum(2, kRawFrame.data(), 11)), kRawFrame},
        RawCase{"PlainBytes", {0x01, 0x02, 0x03}, 0, RawSetup::kNone, 1,
                static_cast<int16_t>(link::Checksum(2, Bytes{1, 2, 3}.data(), 3)), {0x01, 0x02, 0x03}},
        RawCase{"WholeFrameTooShort", {0xFE, 0x05, 0x01}, 1, RawSetup::kNone, 0, -1, {0xFE, 0x05, 0x01}},
        RawCase{"PortClosed", kRawFrame, 1, RawSetup::kClosed, 0, -1, kRawFrame},
        RawCase{"Busy", kRawFrame, 1, RawSetup::kBusy, 0, -1, kRawFrame},
        RawCase{"EchoDiffers", kRawFrame, 1, RawSetup::kCorruptEcho, 0, -1, kRawFrameChecked}),
    [](const auto& info) { return std::string(info.param.name); });

// The device answers the raw request, and the driver acknowledges that
// answer from inside the raw write's wait: the acknowledgement's own echo
// must not decide the raw write's verdict.
TEST(SendRaw, VerdictIsTheRawEchosEvenWhenAnAnswerIsAcknowledgedMeanwhile) {
  for (const bool corrupt : {false, true}) {
    Stack s;
    s.AddDevice(5);
    if (corrupt) s.bus.CorruptNextEcho(3);
    Bytes bytes = kRawFrame;
    int16_t word = -1;
    EXPECT_EQ(SendRaw(s.ctx, bytes.data(), 11, &word, 1), corrupt ? 0 : 1) << corrupt;
    EXPECT_EQ(word, corrupt ? -1 : 0x5C);
    s.RunMs(50);
    ASSERT_EQ(s.HostBytes().size(), 2u) << "the raw frame and our acknowledgement of the answer";
  }
}

TEST(SendRaw, ChecksumIsProtocol2WhateverTheSetting) {
  sim::BusConfig config;
  config.protocol = 1;
  Stack s(config);
  Bytes bytes = kRawFrame;
  int16_t word = -1;
  EXPECT_EQ(SendRaw(s.ctx, bytes.data(), 11, &word, 1), 1);
  EXPECT_EQ(word, 0x5C);
}

// The device answers the raw frame like any other: acknowledgement first.
TEST(SendRaw, WhatFollowsTheEchoIsParsed) {
  Stack s;
  s.AddDevice(5);
  Bytes bytes = kRawFrame;
  int16_t word = 0;
  EXPECT_EQ(SendRaw(s.ctx, bytes.data(), 11, &word, 1), 1);
  s.RunMs(10);
  ASSERT_EQ(s.data.size(), 1u);  // the device's reply to the type-1 frame
  EXPECT_EQ(s.data[0].source, 5);
  EXPECT_EQ(ReceiveAccumulator(s.ctx)->length(), 0);
}

// --- TestStream -----------------------------------------------------------------------------

struct StreamCase {
  const char* name;
  int32_t fill;
  int32_t count;
  bool open;
  bool writeFails;
  bool transmissionWaits;
  int32_t result;
  Bytes wire;
};

class TestStreamCases : public ::testing::TestWithParam<StreamCase> {};

TEST_P(TestStreamCases, WritesFillerBytes) {
  const StreamCase& c = GetParam();
  Stack s;
  if (!c.open) CloseCOM(s.ctx);
  if (c.writeFails) {
    s.fx.platform.writeOverride = [](const uint8_t*, int32_t) {
      return platform::SerialStatus::Failed();
    };
  }
  if (c.transmissionWaits) s.ctx.core.flags.Set(SF_TX_ACTIVE | SF_ECHO_PENDING);
  std::vector<Bytes> traced;
  s.ctx.runtime.trace = [&traced](int direction, const uint8_t* bytes, int32_t n) {
    if (direction == 0) traced.emplace_back(bytes, bytes + n);
  };
  EXPECT_EQ(TestStream(s.ctx, c.fill, c.count), c.result);
  EXPECT_EQ(s.AllBursts(), c.wire.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{c.wire});
  // A tool's trace shows every stream handed to the port, once (it used to
  // miss them, being taken only where frames were built).
  const std::vector<Bytes> handed =
      c.result == 1 ? std::vector<Bytes>{Bytes(static_cast<size_t>(c.count), static_cast<uint8_t>(c.fill))}
                    : std::vector<Bytes>{};
  EXPECT_EQ(traced, handed);
}

INSTANTIATE_TEST_SUITE_P(
    TestStream, TestStreamCases,
    ::testing::Values(StreamCase{"Four", 0x55, 4, true, false, false, 1, {0x55, 0x55, 0x55, 0x55}},
                      StreamCase{"LowByteOfFill", 0x1AA, 2, true, false, false, 1, {0xAA, 0xAA}},
                      StreamCase{"WriteResultIgnored", 0x55, 4, true, true, false, 1, {}},
                      StreamCase{"WhileATransmissionWaits", 0x55, 1, true, false, true, 1, {0x55}},
                      StreamCase{"PortClosed", 0x55, 4, false, false, false, 0, {}},
                      StreamCase{"NegativeCount", 0x55, 0xFFFF, true, false, false, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeva::transact_test
