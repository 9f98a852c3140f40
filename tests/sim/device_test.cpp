// What a simulated device answers and obeys, driven through the codec as the
// host would: frames are built with link/frame.h, written to the bus, and
// what comes back is parsed again.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "sim/bus.h"
#include "tests/sim/host_harness.h"

namespace zeva::sim {
namespace {

using testing::Frame;
using testing::Host;
using testing::ToBytes;

constexpr uint8_t kAddress = 5;
constexpr Bytes6 kStoredError = {3, 17, 5, 2, 40, 8};

DeviceConfig Device5() { return {kAddress, 0x01A2B3, 5, 2, 7, kStoredError, 0}; }

BusConfig Protocol(int32_t protocol) {
  BusConfig config;
  config.protocol = protocol;
  return config;
}

struct RequestCase {
  const char* name;
  uint8_t destination;
  bool noAck;
  Bytes6 data;
  bool expectAck;
  std::optional<Bytes6> expectReply;
};

const RequestCase kRequests[] = {
    {"Identify", kAddress, false, {0, 0, 0, 0, 0, 250}, true, Bytes6{0x01, 0xA2, 0xB3, 5, 2, 7}},
    {"RemoteError", kAddress, false, {0, 0, 0, 0, 0, 5}, true, kStoredError},
    {"Query", kAddress, false, {1, 2, 3, 4, 0, 0x2A}, true, Bytes6{0xFE, 0xFD, 0xFC, 0xFB, 0xFF, 0x2A}},
    {"IdentifyBroadcast", 0, true, {0, 0, 0, 0, 0, 250}, false, Bytes6{0x01, 0xA2, 0xB3, 5, 2, 7}},
    {"MapProbeUnacknowledged", kAddress, true, {0, 0, 0, 0, 0, 250}, false, Bytes6{0x01, 0xA2, 0xB3, 5, 2, 7}},
    {"OtherAddress", 6, false, {0, 0, 0, 0, 0, 250}, false, std::nullopt},
};

class RequestTest : public ::testing::TestWithParam<std::tuple<int32_t, RequestCase>> {};

TEST_P(RequestTest, AnswersWithAckThenReplyToTheSender) {
  const auto& [protocol, c] = GetParam();
  Bus bus(Protocol(protocol));
  bus.AddDevice(Device5());
  Host host(bus);
  const Frame request = host.Request(c.destination, c.data, c.noAck);
  host.Write(request);
  host.Run(50'000);

  std::vector<Frame> expected = {request};
  if (c.expectAck) expected.push_back(ToBytes(link::EncodeAck(protocol, host.local(), kAddress)));
  if (c.expectReply) {
    expected.push_back(ToBytes(link::EncodeDataFrame(protocol, host.local(), kAddress, kReplyControl,
                                                     c.expectReply->data())));
  }
  EXPECT_EQ(host.received(), testing::Concat(expected));
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestTest,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::ValuesIn(kRequests)),
                         [](const auto& info) {
                           return std::string(std::get<1>(info.param).name) + "_P" +
                                  std::to_string(std::get<0>(info.param));
                         });

TEST(DeviceTest, RecordsTheHostsAcknowledgementOfItsReply) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  host.Write(host.Request(kAddress, {0, 0, 0, 0, 0, 250}));
  host.Run(10'000);
  host.Write(ToBytes(link::EncodeAck(2, kAddress, host.local())));
  host.Run(10'000);
  ASSERT_EQ(device.acks_received().size(), 1u);
  EXPECT_EQ(device.acks_received()[0].source, host.local());
}

TEST(DeviceTest, IgnoresFramesWithABadChecksum) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  Frame request = host.Request(kAddress, {0, 0, 0, 0, 0, 250});
  request[10] ^= 1;
  host.Write(request);
  host.Run(50'000);
  EXPECT_EQ(host.received(), request) << "only the echo";
  EXPECT_TRUE(device.heard().empty());
}

TEST(DeviceTest, ParsesOnlyItsOwnProtocolVariant) {
  Bus bus(Protocol(1));
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  const Bytes6 identify = {0, 0, 0, 0, 0, 250};
  host.Write(ToBytes(link::EncodeDataFrame(2, kAddress, 1, 0xC1, identify.data())));
  host.Run(50'000);
  EXPECT_TRUE(device.heard().empty());
}

TEST(DeviceTest, KeepsEveryDataFrameForItByteForByte) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  const std::vector<Frame> mine = {
      host.DataFrame(kAddress, 0xC3, {1, 2, 3, 4, 5, 6}),
      host.DataFrame(0, 0xDA, {9, 9, 9, 0, 0, 0}),        // broadcast
      host.DataFrame(kAddress, 0x5A, {7, 8, 0, 0, 0, 0}),  // an automatic reply: type 2, 0x18
  };
  host.Write(mine[0]);
  host.Write(host.DataFrame(6, 0xC3, {1, 2, 3, 4, 5, 6}));  // someone else's
  host.Write(mine[1]);
  host.Write(mine[2]);
  host.Run(50'000);
  ASSERT_EQ(device.heard().size(), mine.size());
  for (size_t i = 0; i < mine.size(); ++i) EXPECT_EQ(device.heard()[i].bytes, mine[i]) << i;
  EXPECT_EQ(device.acks_sent(), 1) << "only the first asked for an acknowledgement";
}

TEST(DeviceTest, QueryHandlerAndResponseCodeShapeTheAnswer) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  device.queryHandler = [](const Bytes6& request) { return Bytes6{request[5], 1, 2, 3, 4, 5}; };
  Host host(bus);
  host.Write(host.Request(kAddress, {0, 0, 0, 0, 0, 0x33}));
  host.Run(10'000);
  const std::vector<Frame> answer = host.Frames();
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(Frame(answer[2].begin() + 4, answer[2].begin() + 10), Frame({0x33, 1, 2, 3, 4, 5}));

  // With a response code, acknowledged frames of any type get that code back.
  device.set_response_code(0x42);
  host.Clear();
  host.Write(host.DataFrame(kAddress, 0xC3, {1, 2, 3, 4, 5, 6}));
  host.Write(host.DataFrame(kAddress, 0xDB, {1, 2, 3, 4, 5, 6}));  // no acknowledgement wanted
  host.Run(10'000);
  const std::vector<Frame> frames = host.Frames();
  ASSERT_EQ(frames.size(), 4u) << "two echoes, one ack, one response";
  EXPECT_EQ(frames[3], ToBytes(link::EncodeDataFrame(2, 1, kAddress, kReplyControl,
                                                     Bytes6{1, 2, 3, 4, 5, 0x42}.data())));
}

struct CommandCase {
  const char* name;
  std::function<Frame(const Host&)> frame;
  Command command;
  bool obeyed;
  RunState runState;
  uint8_t addressAfter;
  Bytes6 errorAfter;
  int32_t acks;
};

const CommandCase kCommands[] = {
    {"Reboot", [](const Host& h) { return h.Request(0, {0, 0, 0, 0, 0, 254}); }, Command::kReboot, true,
     RunState::kRunning, kAddress, kStoredError, 0},
    {"Stop", [](const Host& h) { return h.Request(0, {0x37, 0, 0, 0, 0, 254}); }, Command::kStop, true,
     RunState::kStopped, kAddress, kStoredError, 0},
    {"ClearError", [](const Host& h) { return h.Request(kAddress, {0, 0, 0, 0, 0, 252}); },
     Command::kClearError, true, RunState::kRunning, kAddress, {}, 1},
    {"AssignAddress", [](const Host& h) { return h.Request(0, {0x01, 0xA2, 0xB3, 0, 9, 251}); },
     Command::kAssignAddress, true, RunState::kRunning, 9, kStoredError, 0},
    {"AssignAddressOtherSerial", [](const Host& h) { return h.Request(0, {0x01, 0xA2, 0xB4, 0, 9, 251}); },
     Command::kAssignAddress, false, RunState::kRunning, kAddress, kStoredError, 0},
    {"AssignAddressZero", [](const Host& h) { return h.Request(0, {0x01, 0xA2, 0xB3, 0, 0, 251}); },
     Command::kAssignAddress, false, RunState::kRunning, kAddress, kStoredError, 0},
    {"AssignAddressUnreachable", [](const Host& h) { return h.Request(0, {0x01, 0xA2, 0xB3, 0, 200, 251}); },
     Command::kAssignAddress, false, RunState::kRunning, kAddress, kStoredError, 0},
    {"CommitBroadcastRefused", [](const Host& h) { return h.Request(0, {13, 0, 0x55, 0, 5, 253}); },
     Command::kCommitProgram, false, RunState::kRunning, kAddress, kStoredError, 0},
    {"ResetCommShortFrame", [](const Host& h) { return ToBytes(link::EncodeType6ShortFrame(2, kAddress, h.local(), 1)); },
     Command::kResetComm, true, RunState::kRunning, kAddress, kStoredError, 0},
    {"ResetCommBroadcast", [](const Host& h) { return ToBytes(link::EncodeType6ShortFrame(2, 0, h.local(), 1)); },
     Command::kResetComm, true, RunState::kRunning, kAddress, kStoredError, 0},
};

class CommandTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTest, ObeysAndRecords) {
  const CommandCase& c = GetParam();
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  const Frame frame = c.frame(host);
  host.Write(frame);
  host.Run(50'000);

  ASSERT_EQ(device.commands().size(), 1u);
  EXPECT_EQ(device.commands()[0].command, c.command);
  EXPECT_EQ(device.commands()[0].obeyed, c.obeyed);
  EXPECT_EQ(device.run_state(), c.runState);
  EXPECT_EQ(device.address(), c.addressAfter);
  EXPECT_EQ(device.config().remoteError, c.errorAfter);
  EXPECT_EQ(device.acks_sent(), c.acks);
  // Commands are answered by the acknowledgement alone.
  EXPECT_EQ(host.Frames().size(), 1u + static_cast<size_t>(c.acks));
}

INSTANTIATE_TEST_SUITE_P(Commands, CommandTest, ::testing::ValuesIn(kCommands),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceTest, ResetCommunicationCarriesItsCode) {
  Bus bus;
  Device& device = bus.AddDevice(Device5());
  Host host(bus);
  host.Write(ToBytes(link::EncodeType6ShortFrame(2, kAddress, host.local(), 6)));  // code 6 & 3 = 2
  host.Run(10'000);
  ASSERT_EQ(device.commands().size(), 1u);
  EXPECT_EQ(device.commands()[0].data[0], 2);
}

TEST(DeviceTest, UnaddressedDeviceAnswersOnlyAfterItGotAnAddress) {
  Bus bus;
  Device& device = bus.AddDevice({0, 0x00BEEF, 7, 1, 0, {}, 0});
  Host host(bus);
  host.Write(host.Request(0, {0, 0, 0, 0, 0, 250}));
  host.Run(10'000);
  EXPECT_EQ(host.Frames().size(), 1u) << "no address to answer from";

  host.Write(host.Request(0, {0x00, 0xBE, 0xEF, 0, 33, 251}));
  host.Write(host.Request(33, {0, 0, 0, 0, 0, 250}));
  host.Run(10'000);
  EXPECT_EQ(device.address(), 33);
  const std::vector<Frame> frames = host.Frames();
  ASSERT_EQ(frames.size(), 5u);  // 3 echoes, the ack and the identity
  EXPECT_EQ(frames.back()[2], 33);
}

TEST(DeviceTest, ClearRecordsForgetsWhatWasKeptButNotItsState) {
  Device device(Device5());
  const LinkSettings link;
  const link::DataFrame clear = link::EncodeDataFrame(2, kAddress, 1, 0xC1, Bytes6{0, 0, 0, 0, 0, kCodeClearError}.data());
  device.OnFrame(link, clear.data(), link::kDataFrameSize, 10);
  const link::ShortFrame ack = link::EncodeAck(2, kAddress, 1);
  device.OnFrame(link, ack.bytes.data(), ack.size, 20);
  ASSERT_EQ(device.heard().size(), 1u);
  ASSERT_EQ(device.commands().size(), 1u);
  ASSERT_EQ(device.acks_received().size(), 1u);
  device.ClearRecords();
  EXPECT_TRUE(device.heard().empty());
  EXPECT_TRUE(device.commands().empty());
  EXPECT_TRUE(device.acks_received().empty());
  EXPECT_EQ(device.config().remoteError, Bytes6{});
  EXPECT_EQ(device.acks_sent(), 1);
}

}  // namespace
}  // namespace zeva::sim
