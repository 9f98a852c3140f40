// Each device fault knob, and the frames a device sends on its own.
#include <gtest/gtest.h>

#include <functional>

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

struct FaultCase {
  const char* name;
  std::function<void(DeviceFaults&)> arm;
  bool ack;
  uint8_t replySource;  // 0: no valid reply
  size_t extraBytes;    // bytes on top of echo, ack and reply
  uint64_t ackAtUs;
  uint64_t replyAtUs;
};

// No pacing, turnaround 1000 us: the ack comes at 1 ms, the reply 1 ms after it.
const FaultCase kFaults[] = {
    {"None", [](DeviceFaults&) {}, true, kAddress, 0, 1000, 2000},
    {"DropAck", [](DeviceFaults& f) { f.dropAcks = 1; }, false, kAddress, 0, 0, 1000},
    {"Silent", [](DeviceFaults& f) { f.silent = true; }, false, 0, 0, 0, 0},
    {"AckLate", [](DeviceFaults& f) { f.extraAckDelayUs = 3000; }, true, kAddress, 0, 4000, 5000},
    {"ReplyLate", [](DeviceFaults& f) { f.extraReplyDelayUs = 7000; }, true, kAddress, 0, 1000, 9000},
    {"WrongSource",
     [](DeviceFaults& f) {
       f.wrongSource = 9;
       f.wrongSourceReplies = 1;
     },
     true, 9, 0, 1000, 2000},
    {"CorruptReply", [](DeviceFaults& f) { f.corruptReplies = 1; }, true, 0, 11, 1000, 2000},
    {"CorruptReplyData",
     [](DeviceFaults& f) {
       f.corruptReplies = 1;
       f.corruptIndex = 6;
     },
     true, 0, 11, 1000, 2000},
    {"NoiseBeforeReply", [](DeviceFaults& f) { f.noiseBeforeReplies = {0x00, 0xFE, 0x55}; }, true, kAddress, 3, 1000,
     2000},
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, StrikesOnceAsConfigured) {
  const FaultCase& c = GetParam();
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  c.arm(device.faults);
  Host host(bus);
  const Frame request = host.Request(kAddress, kIdentify);
  host.Write(request);
  host.RunStepwise(50'000);

  EXPECT_EQ(device.heard().size(), 1u) << "every fault leaves the frame taken";
  const Frame ack = ToBytes(link::EncodeAck(2, host.local(), kAddress));
  std::vector<Frame> expected = {request};
  if (c.ack) expected.push_back(ack);
  const Bytes6 identity = device.Identity();
  if (c.replySource != 0) {
    expected.push_back(ToBytes(link::EncodeDataFrame(2, host.local(), c.replySource, kReplyControl, identity.data())));
  }
  EXPECT_EQ(host.Frames(), expected);
  const size_t replyBytes = c.replySource != 0 ? 11 : 0;
  EXPECT_EQ(host.received().size(), 11 + (c.ack ? 5 : 0) + replyBytes + c.extraBytes);
  if (c.ack) {
    EXPECT_EQ(host.arrivals()[11], c.ackAtUs);
  }
  if (c.replySource != 0) {
    EXPECT_EQ(host.arrivals().back(), c.replyAtUs);
  }

  // A fault with a count of one is spent: the next request is answered normally.
  if (!device.faults.silent) {
    host.Clear();
    const uint64_t start = host.now();
    host.Write(request);
    host.RunStepwise(start + 50'000);
    ASSERT_EQ(host.Frames().size(), 3u);
    EXPECT_EQ(host.Frames()[1], ack);
    EXPECT_EQ(host.Frames()[2][2], kAddress);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FaultTest, NegativeCountStrikesForever) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  device.faults.dropAcks = -1;
  Host host(bus);
  for (int i = 0; i < 3; ++i) host.Write(host.Request(kAddress, {0, 0, 0, 0, 0, 252}));
  host.Run(50'000);
  EXPECT_EQ(device.acks_sent(), 0);
  EXPECT_EQ(device.acks_dropped(), 3);
}

struct UnsolicitedCase {
  const char* name;
  int32_t protocol;
  uint8_t control;
};

class UnsolicitedTest : public ::testing::TestWithParam<UnsolicitedCase> {};

TEST_P(UnsolicitedTest, DeviceSendsADataFrameAtTheGivenTime) {
  const UnsolicitedCase c = GetParam();
  BusConfig config;
  config.protocol = c.protocol;
  Bus bus(config);
  bus.AddDevice(Device5());
  Host host(bus);
  const Bytes6 data = {1, 2, 3, 4, 5, 6};
  bus.SendUnsolicited(0, 3000, 1, c.control, data);
  host.RunStepwise(10'000);
  ASSERT_FALSE(host.arrivals().empty());
  EXPECT_EQ(host.arrivals().front(), 3000u);
  EXPECT_EQ(host.received(), ToBytes(link::EncodeDataFrame(c.protocol, 1, kAddress, c.control, data.data())));
}

INSTANTIATE_TEST_SUITE_P(Types, UnsolicitedTest,
                         ::testing::Values(UnsolicitedCase{"EchoRequestP1", 1, 0xC0},
                                           UnsolicitedCase{"EchoRequestP2", 2, 0xC0},
                                           UnsolicitedCase{"Type2Alternating", 2, 0xCA},
                                           UnsolicitedCase{"Type5NoAck", 2, 0xDD}),
                         [](const auto& info) { return std::string(info.param.name); });

// A device's frame to another device once started an endless exchange, each
// answering the other's answer: now the frame is acknowledged and that ends it.
TEST(FaultTest, DeviceToDeviceFrameIsOneExchange) {
  Bus bus;
  bus.AddDevice(Device5());
  DeviceConfig seven = Device5();
  seven.address = 7;
  seven.serial = 0x00C0DE;
  bus.AddDevice(seven);
  Host host(bus);
  const Bytes6 data = {1, 2, 3, 4, 5, 6};
  bus.SendUnsolicited(0, 1000, 7, 0xC1, data);
  host.Run(1'000'000);
  Frame expected = ToBytes(link::EncodeDataFrame(2, 7, kAddress, 0xC1, data.data()));
  const Frame ack = ToBytes(link::EncodeAck(2, kAddress, 7));
  expected.insert(expected.end(), ack.begin(), ack.end());
  EXPECT_EQ(host.received(), expected);
}

TEST(FaultTest, DeviceKeepsTheHostsEchoReply) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  bus.SendUnsolicited(0, 1000, 1, 0x60, {7, 8, 9, 0, 0, 0});  // type 0, count 3
  host.Run(5000);
  // The host acknowledges and answers with a type-2 echo, unacknowledged.
  host.Write(ToBytes(link::EncodeAck(2, kAddress, 1)));
  const Frame echo = host.DataFrame(kAddress, 0x7A, {7, 8, 9, 0, 0, 0});
  host.Write(echo);
  host.Run(5000);
  ASSERT_EQ(device.heard().size(), 1u);
  EXPECT_EQ(device.heard()[0].bytes, echo);
  EXPECT_EQ(device.acks_received().size(), 1u);
  EXPECT_EQ(device.acks_sent(), 0);
}

struct LinkResetCase {
  int32_t protocol;
  uint8_t type;
  uint8_t code;
};

class LinkResetTest : public ::testing::TestWithParam<LinkResetCase> {};

TEST_P(LinkResetTest, ShortFrameWithoutAckBitAndWithItsCode) {
  const LinkResetCase c = GetParam();
  BusConfig config;
  config.protocol = c.protocol;
  Bus bus(config);
  bus.AddDevice(Device5());
  Host host(bus);
  bus.SendLinkReset(0, 4000, c.type, c.code);
  host.RunStepwise(10'000);
  const Frame& got = host.received();
  ASSERT_EQ(got.size(), static_cast<size_t>(link::ShortFrameSize(c.protocol)));
  EXPECT_EQ(host.arrivals().front(), 4000u);
  EXPECT_TRUE(link::ShortFrameValid(c.protocol, got.data()));
  EXPECT_EQ(got[1], 1);
  EXPECT_EQ(got[2], kAddress);
  EXPECT_EQ(link::ControlType(got[3]), c.type);
  EXPECT_EQ(got[3] & link::kAckBit, 0);
  EXPECT_EQ(link::ShortFrameCode(got[3]), c.code);
}

INSTANTIATE_TEST_SUITE_P(Frames, LinkResetTest,
                         ::testing::Values(LinkResetCase{1, 6, 1}, LinkResetCase{1, 7, 2}, LinkResetCase{2, 6, 1},
                                           LinkResetCase{2, 7, 2}));

}  // namespace
}  // namespace zeva::sim
