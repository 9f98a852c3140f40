// The line itself: echo, wire pacing and turnaround in virtual time, half
// duplex, the adapter's modes, line faults, unplugging and the trace.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/bus.h"
#include "tests/sim/host_harness.h"

namespace zeva::sim {
namespace {

using testing::Frame;
using testing::Host;
using testing::ToBytes;

constexpr uint8_t kAddress = 5;
const Bytes6 kIdentify = {0, 0, 0, 0, 0, 250};

DeviceConfig Device5() { return {kAddress, 0x01A2B3, 5, 2, 7, {}, 0}; }

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

struct PacingCase {
  int32_t bps;
  uint8_t byteSize;
};

class PacingTest : public ::testing::TestWithParam<PacingCase> {};

TEST_P(PacingTest, EachEchoedCharacterTakesItsWireTime) {
  const PacingCase c = GetParam();
  BusConfig config;
  config.pacing = true;
  Bus bus(config);
  platform::SerialConfig port;
  port.bps = c.bps;
  port.byteSize = c.byteSize;
  Host host(bus, port);
  const Frame request = host.Request(9, kIdentify);  // nobody answers
  host.Write(request);
  host.RunStepwise(1'000'000);

  const uint64_t bits = 1u + c.byteSize + 1u + 1u;  // start, data, parity, stop
  ASSERT_EQ(host.received(), request);
  for (size_t i = 0; i < request.size(); ++i) {
    EXPECT_EQ(host.arrivals()[i], CeilDiv((i + 1) * bits * 1'000'000u, static_cast<uint64_t>(c.bps))) << i;
  }
  EXPECT_EQ(bus.WireTimeUs(11), host.arrivals().back());
}

INSTANTIATE_TEST_SUITE_P(Rates, PacingTest,
                         ::testing::Values(PacingCase{19200, 8}, PacingCase{9600, 8}, PacingCase{57600, 7},
                                           PacingCase{115200, 8}));

TEST(BusTest, ElevenBytesAt19200TakeElevenTimesElevenBits) {
  BusConfig config;
  config.pacing = true;
  Bus bus(config);
  Host host(bus);
  host.Write(host.Request(9, kIdentify));
  host.RunStepwise(1'000'000);
  EXPECT_EQ(host.arrivals().back(), 6303u);  // 11 * 11 / 19200 s = 6302.08 us
}

TEST(BusTest, AckAndReplyFollowTheTurnaroundAtWireSpeed) {
  BusConfig config;
  config.pacing = true;
  config.turnaroundUs = 1500;
  Bus bus(config);
  bus.AddDevice(Device5());
  Host host(bus);
  host.Write(host.Request(kAddress, kIdentify));
  host.RunStepwise(1'000'000);

  ASSERT_EQ(host.received().size(), 11u + 5u + 11u);
  const uint64_t requestEnd = bus.WireTimeUs(11);
  const uint64_t ackStart = requestEnd + 1500;
  const uint64_t ackEnd = ackStart + bus.WireTimeUs(5);
  const uint64_t replyStart = ackEnd + 1500;
  EXPECT_EQ(host.arrivals()[11], ackStart + bus.WireTimeUs(1));
  EXPECT_EQ(host.arrivals()[15], ackEnd);
  EXPECT_EQ(host.arrivals()[16], replyStart + bus.WireTimeUs(1));
  EXPECT_EQ(host.arrivals()[26], replyStart + bus.WireTimeUs(11));
}

TEST(BusTest, TalkersWaitForAQuietWire) {
  BusConfig config;
  config.pacing = true;
  Bus bus(config);
  bus.AddDevice(Device5());
  bus.AddDevice({6, 0x000006, 6, 1, 0, {}, 0});
  Host host(bus);
  host.Write(host.Request(0, kIdentify));  // both answer at the same moment
  bus.InjectNoise(bus.WireTimeUs(11) + 1000, {0x00, 0x11, 0x22, 0x33});
  host.RunStepwise(1'000'000);

  std::vector<TraceEntry> bursts;
  for (const TraceEntry& e : bus.trace()) {
    if (e.kind != TraceEntry::Kind::kEvent) bursts.push_back(e);
  }
  ASSERT_EQ(bursts.size(), 4u) << "request, noise, two replies";
  for (size_t i = 1; i < bursts.size(); ++i) {
    EXPECT_GE(bursts[i].startUs, bursts[i - 1].endUs) << i;
  }
  EXPECT_EQ(host.Frames().size(), 3u);
}

TEST(BusTest, WithoutEchoTheHostGetsOnlyTheDevicesBytes) {
  BusConfig config;
  config.echo = false;
  Bus bus(config);
  bus.AddDevice(Device5());
  Host host(bus);
  host.Write(host.Request(kAddress, kIdentify));
  host.Run(10'000);
  const std::vector<Frame> frames = host.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], ToBytes(link::EncodeAck(2, 1, kAddress)));
}

TEST(BusTest, CorruptedEchoReachesOnlyTheHost) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  bus.CorruptNextEcho(3);
  host.Write(request);
  host.Run(10'000);
  Frame expected = request;
  expected[3] = static_cast<uint8_t>(~expected[3]);
  EXPECT_EQ(Frame(host.received().begin(), host.received().begin() + 11), expected);
  EXPECT_EQ(device.heard().size(), 1u) << "the device got the frame intact";
  EXPECT_EQ(host.Frames().size(), 2u) << "ack and reply; the damaged echo is no frame";

  host.Clear();
  host.Write(request);
  host.Run(10'000);
  EXPECT_EQ(host.Frames().front(), request) << "only the next echo is damaged";
}

struct LineFaultCase {
  const char* name;
  double drop;
  double corrupt;
  bool lineError;
};

class LineFaultTest : public ::testing::TestWithParam<LineFaultCase> {};

TEST_P(LineFaultTest, EveryByteCanBeLostOrDamaged) {
  const LineFaultCase c = GetParam();
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  bus.lineFaults = {c.drop, c.corrupt};
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  EXPECT_TRUE(device.heard().empty());
  EXPECT_EQ(host.lineError(), c.lineError);
  if (c.drop >= 1.0) {
    EXPECT_TRUE(host.received().empty());
  } else {
    ASSERT_EQ(host.received().size(), request.size());
    for (size_t i = 0; i < request.size(); ++i) EXPECT_NE(host.received()[i], request[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, LineFaultTest,
                         ::testing::Values(LineFaultCase{"Drop", 1.0, 0.0, true},
                                           LineFaultCase{"Corrupt", 0.0, 1.0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<uint8_t> RunWithFaults(uint64_t seed) {
  BusConfig config;
  config.seed = seed;
  Bus bus(config);
  bus.AddDevice(Device5());
  bus.lineFaults = {0.05, 0.05};
  Host host(bus);
  for (int i = 0; i < 20; ++i) {
    host.Write(host.Request(kAddress, kIdentify));
    host.Run(10'000);
  }
  return host.received();
}

TEST(BusTest, FaultsRepeatExactlyForTheSameSeed) {
  EXPECT_EQ(RunWithFaults(7), RunWithFaults(7));
  EXPECT_NE(RunWithFaults(7), RunWithFaults(8));
}

TEST(BusTest, TornFrameBeforeARequestDoesNotHideIt) {
  Bus bus;
  bus.AddDevice(Device5());
  Host host(bus);
  Frame bytes = {0xFE, kAddress};
  const Frame request = host.Request(kAddress, kIdentify);
  bytes.insert(bytes.end(), request.begin(), request.end());
  host.Write(bytes);
  host.Run(10'000);
  EXPECT_EQ(host.Frames().size(), 3u) << "request, ack, reply";
  ASSERT_GE(bus.trace().size(), 2u);
  EXPECT_EQ(bus.trace()[1].kind, TraceEntry::Kind::kGarbage);
  EXPECT_EQ(bus.trace()[1].bytes, Frame({0xFE, kAddress}));
}

TEST(BusTest, UnpluggedLineHangsUpAndLosesWrites) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  bus.Unplug(1000);
  host.Run(500);
  EXPECT_FALSE(host.hungUp());
  host.Run(1000);
  EXPECT_TRUE(host.hungUp());
  host.Write(host.Request(kAddress, kIdentify));
  host.Run(10'000);
  EXPECT_TRUE(host.received().empty());
  EXPECT_TRUE(device.heard().empty());

  bus.Replug(host.now());
  host.Run(1);
  EXPECT_FALSE(host.hungUp());
  host.Write(host.Request(kAddress, kIdentify));
  host.Run(10'000);
  EXPECT_EQ(host.Frames().size(), 3u);
}

TEST(BusTest, AdapterAcknowledgesForTheHost) {
  BusConfig config;
  config.adapterAcks = true;
  Bus bus(config);
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  const std::vector<Frame> frames = host.Frames();
  ASSERT_EQ(frames.size(), 2u) << "echo and reply: the device's ack stays with the adapter";
  EXPECT_EQ(frames[1][2], kAddress);
  ASSERT_EQ(device.acks_received().size(), 1u);
  EXPECT_EQ(device.acks_received()[0].source, 1);
}

TEST(BusTest, ForeignBitRateMakesEachSideUnreadable) {
  BusConfig config;
  config.bps = 9600;
  Bus bus(config);
  Device& device = bus.AddDevice(Device5());
  platform::SerialConfig port;
  port.bps = 19200;
  Host host(bus, port);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  EXPECT_EQ(host.received(), request) << "the echo still comes back";
  EXPECT_TRUE(device.heard().empty());

  bus.SendUnsolicited(0, host.now(), 1, 0xC3, {1, 2, 3, 4, 5, 6});
  host.Clear();
  host.Run(10'000);
  EXPECT_TRUE(host.received().empty());
  EXPECT_TRUE(host.lineError());
}

TEST(BusTest, ClosingThePortDropsBytesInFlight) {
  Bus bus;
  bus.AddDevice(Device5());
  Host host(bus);
  host.Write(host.Request(kAddress, kIdentify));
  host.Run(500);  // the echo is in, the ack not yet
  bus.HostClosed();
  host.Clear();
  host.Run(10'000);
  EXPECT_TRUE(host.received().empty());
}

TEST(BusTest, TraceShowsWhoSentWhatAndWhen) {
  Bus bus;
  bus.AddDevice(Device5());
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);

  std::vector<TraceEntry> frames;
  for (const TraceEntry& e : bus.trace()) {
    if (e.kind == TraceEntry::Kind::kFrame) frames.push_back(e);
  }
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].direction, Direction::kHostToLine);
  EXPECT_EQ(frames[0].talker.kind, TalkerKind::kHost);
  EXPECT_EQ(frames[0].bytes, request);
  EXPECT_EQ(frames[1].direction, Direction::kLineToHost);
  EXPECT_EQ(frames[1].address, kAddress);
  EXPECT_EQ(frames[1].startUs, 1000u);
  EXPECT_EQ(frames[2].startUs, 2000u);
  EXPECT_EQ(FormatTrace(frames[1]), "     1.000 ms  line->host  dev 5    FE 01 05 10 D6");
}

// Each fault is counted as it strikes: with certainty every byte (or every
// acknowledgement) is hit, so the counts follow from the traffic.
struct FaultCountCase {
  const char* name;
  LineFaults faults;
  uint64_t dropped;    // of the 11-byte request, the device hears nothing
  uint64_t corrupted;
  uint64_t acksLost;
  bool deviceHears;
};

class FaultCountTest : public ::testing::TestWithParam<FaultCountCase> {};

TEST_P(FaultCountTest, CountsEveryStrike) {
  const FaultCountCase& c = GetParam();
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  bus.lineFaults = c.faults;
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  EXPECT_EQ(bus.faultCounts().bytesDropped, c.dropped);
  EXPECT_EQ(bus.faultCounts().bytesCorrupted, c.corrupted);
  EXPECT_EQ(bus.faultCounts().acksLost, c.acksLost);
  EXPECT_EQ(device.heard().size(), c.deviceHears ? 1u : 0u);
  if (c.acksLost != 0) {
    // The frame was taken and answered; only its acknowledgement is gone.
    const Frame reply = ToBytes(link::EncodeDataFrame(2, host.local(), kAddress, kReplyControl, device.Identity().data()));
    EXPECT_EQ(host.Frames(), (std::vector<Frame>{request, reply}));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultCountTest,
                         ::testing::Values(FaultCountCase{"None", {}, 0, 0, 0, true},
                                           FaultCountCase{"Drop", {1.0, 0.0, 0.0}, 11, 0, 0, false},
                                           FaultCountCase{"Corrupt", {0.0, 1.0, 0.0}, 0, 11, 0, false},
                                           FaultCountCase{"AckLoss", {0.0, 0.0, 1.0}, 0, 0, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

std::vector<uint8_t> RunWithAckLoss(uint64_t seed) {
  BusConfig config;
  config.seed = seed;
  Bus bus(config);
  bus.AddDevice(Device5());
  bus.lineFaults.ackLossProbability = 0.5;
  Host host(bus);
  std::vector<uint8_t> lost;
  for (int i = 0; i < 32; ++i) {
    const uint64_t before = bus.faultCounts().acksLost;
    host.Write(host.Request(kAddress, kIdentify));
    host.Run(10'000);
    lost.push_back(static_cast<uint8_t>(bus.faultCounts().acksLost - before));
  }
  return lost;
}

TEST(BusTest, AckLossRepeatsExactlyForTheSameSeed) {
  const std::vector<uint8_t> lost = RunWithAckLoss(3);
  EXPECT_EQ(lost, RunWithAckLoss(3));
  EXPECT_NE(lost, RunWithAckLoss(4));
  // Some lost, some not: it is drawn per acknowledgement.
  EXPECT_NE(std::count(lost.begin(), lost.end(), 1), 0);
  EXPECT_NE(std::count(lost.begin(), lost.end(), 0), 0);
}

// onBurst shows what the talker meant to send; the trace shows what the
// line made of it.
TEST(BusTest, BurstHookSeesTheBytesBeforeTheLineDamagesThem) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  std::vector<std::pair<Talker, Frame>> bursts;
  bus.onBurst = [&bursts](const Burst& b) { bursts.emplace_back(b.talker, *b.bytes); };
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  bus.lineFaults.corruptProbability = 1.0;
  bus.SendUnsolicited(0, 20'000, 1, 0xC1, {1, 2, 3, 4, 5, 6});
  host.Run(20'000);
  const Frame unsolicited = ToBytes(device.BuildFrame(bus.link(), 1, 0xC1, {1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(bursts.size(), 4u);
  EXPECT_EQ(bursts[0], std::make_pair(Talker{TalkerKind::kHost, -1}, request));
  EXPECT_EQ(bursts[1].first, (Talker{TalkerKind::kDevice, 0}));
  EXPECT_EQ(bursts[2].second,
            ToBytes(link::EncodeDataFrame(2, host.local(), kAddress, kReplyControl, device.Identity().data())));
  EXPECT_EQ(bursts[3].second, unsolicited);
  EXPECT_NE(bus.trace().back().bytes, unsolicited);
}

// An acknowledgement names no frame on the wire; the burst hook says which
// frame a device's acknowledgement and reply were sent for.
TEST(BusTest, BurstHookNamesTheFrameAnAnswerIsFor) {
  Bus bus;
  bus.AddDevice(Device5());
  std::vector<std::pair<TxKind, Frame>> answers;
  bus.onBurst = [&answers](const Burst& b) {
    if (b.talker.kind == TalkerKind::kDevice) answers.emplace_back(b.kind, *b.answers);
  };
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  EXPECT_EQ(answers, (std::vector<std::pair<TxKind, Frame>>{{TxKind::kAck, request}, {TxKind::kReply, request}}));
}

// onHostByte reports every byte position headed for the host in order, with
// what the line did to it: the host's receiver sees a lost byte only as a
// line error.
struct HostByteCase {
  const char* name;
  double drop;
  double corrupt;
};

class HostByteTest : public ::testing::TestWithParam<HostByteCase> {};

TEST_P(HostByteTest, EveryPositionIsReportedWithItsFault) {
  const HostByteCase c = GetParam();
  Bus bus;
  bus.AddDevice(Device5()).faults.silent = true;
  std::vector<HostByte> bytes;
  bus.onHostByte = [&bytes](const HostByte& b) { bytes.push_back(b); };
  Host host(bus);
  bus.lineFaults = {c.drop, c.corrupt};
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.Run(10'000);
  ASSERT_EQ(bytes.size(), request.size());  // the echo alone
  Frame delivered;
  for (size_t i = 0; i < bytes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bytes[i].talker, (Talker{TalkerKind::kHost, -1}));
    EXPECT_EQ(bytes[i].burstStartUs, bytes[0].burstStartUs);
    EXPECT_EQ(bytes[i].lost, c.drop >= 1.0);
    EXPECT_EQ(bytes[i].damaged, c.corrupt >= 1.0);
    if (!bytes[i].lost) delivered.push_back(bytes[i].value);
  }
  EXPECT_EQ(delivered, host.received());
}

INSTANTIATE_TEST_SUITE_P(Faults, HostByteTest,
                         ::testing::Values(HostByteCase{"Intact", 0.0, 0.0}, HostByteCase{"Lost", 1.0, 0.0},
                                           HostByteCase{"Damaged", 0.0, 1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A lost byte is a framing error to every receiver: the bytes before the gap
// never complete a frame with the bytes after it, even when they would make
// one that passes its check.
struct BreakCase {
  const char* name;
  bool lostByteBetween;
  size_t validFrames;
};

class ScannerBreakTest : public ::testing::TestWithParam<BreakCase> {};

TEST_P(ScannerBreakTest, BytesAcrossALostByteNeverMakeAFrame) {
  const BreakCase& c = GetParam();
  const Frame frame = ToBytes(link::EncodeDataFrame(2, kAddress, 1, 0xC1, kIdentify.data()));
  LineScanner scanner(2);
  std::vector<ScannedFrame> out;
  for (size_t i = 0; i < frame.size(); ++i) {
    if (i == 5 && c.lostByteBetween) scanner.Break(&out);
    scanner.Push({frame[i], {TalkerKind::kHost, -1}, i, i + 1}, &out);
  }
  scanner.FlushGarbage(&out);
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const ScannedFrame& f) { return f.valid; }),
            static_cast<long>(c.validFrames));
  EXPECT_EQ(scanner.pending(), 0u);
  if (c.lostByteBetween) {
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes, Frame(frame.begin(), frame.begin() + 5));
  }
}

INSTANTIATE_TEST_SUITE_P(Scanner, ScannerBreakTest,
                         ::testing::Values(BreakCase{"Intact", false, 1}, BreakCase{"ByteLost", true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A torn frame at the end of a burst is abandoned once the line has been
// idle: the short frame that follows later is heard at once, not only when
// more bytes arrive.
TEST(BusTest, IdleLineEndsATornFrame) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  host.Write({0xFE, kAddress, 0x01, 0xC1, 0x00});  // a data frame's start
  host.Run(10'000);
  const Frame reset = ToBytes(link::EncodeType6ShortFrame(2, kAddress, host.local(), 1));
  host.Write(reset);
  host.Run(10'000);
  ASSERT_EQ(device.commands().size(), 1u);
  EXPECT_EQ(device.commands()[0].command, Command::kResetComm);
}

}  // namespace
}  // namespace zeva::sim
