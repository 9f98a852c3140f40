// A program download as the host sends it: the commit with length and
// checksum byte, then the body as type-2 frames (alternating for devices
// whose version high number is not 0), repeated when an acknowledgement is
// lost.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/bus.h"
#include "tests/sim/host_harness.h"

namespace zeva::sim {
namespace {

using testing::Frame;
using testing::Host;
using testing::ToBytes;

constexpr uint8_t kTarget = 5;

struct Body {
  std::vector<Frame> frames;
  uint8_t checksumSum = 0;
};

// The body frames exactly as the host's transmitter cuts them: six bytes a
// frame, count in bits 5-7, the alternation bit on odd frames in
// alternating mode, and at least one frame even for an empty program.
Body BuildBody(int32_t protocol, uint8_t local, const std::vector<uint8_t>& program, bool alternating) {
  Body body;
  size_t offset = 0;
  for (size_t k = 0;; ++k, offset += 6) {
    const size_t count = std::min<size_t>(6, program.size() - offset);
    Bytes6 data{};
    std::copy_n(program.begin() + static_cast<std::ptrdiff_t>(offset), count, data.begin());
    const uint8_t control = static_cast<uint8_t>(link::CountField(static_cast<int>(count)) | 2 |
                                                 (alternating && k % 2 == 1 ? link::kAlternationBit : 0));
    const link::DataFrame frame = link::EncodeDataFrame(protocol, kTarget, local, control, data.data());
    body.frames.push_back(ToBytes(frame));
    body.checksumSum = static_cast<uint8_t>(body.checksumSum + frame[10]);
    if (offset + 6 >= program.size()) break;
  }
  return body;
}

std::vector<uint8_t> Program(size_t length) {
  std::vector<uint8_t> program(length);
  for (size_t i = 0; i < length; ++i) program[i] = static_cast<uint8_t>(i * 7 + 3);
  return program;
}

TEST(ProgramTest, BodyChecksumMatchesTheHostsChecksumOnlyPass) {
  const std::vector<uint8_t> program = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(BuildBody(1, 1, program, true).checksumSum, 0x14);
  EXPECT_EQ(BuildBody(2, 1, program, true).checksumSum, 0xBB);
}

// What one body frame brought back.
struct FrameOutcome {
  bool acked = false;
  int32_t responses = 0;  // frames with data byte 5 = 244
};

class Downloader {
 public:
  Downloader(Bus& bus, Host& host) : bus_(bus), host_(host) {}

  FrameOutcome Send(const Frame& frame) {
    host_.Clear();
    host_.Write(frame);
    host_.Run(20'000);
    FrameOutcome outcome;
    const Frame ack = ToBytes(link::EncodeAck(host_.protocol(), host_.local(), kTarget));
    for (const Frame& f : host_.Frames()) {
      if (f == ack) outcome.acked = true;
      if (f.size() == 11 && f[2] == kTarget && f[9] == kProgramResponseCode) {
        ++outcome.responses;
        host_.Write(ToBytes(link::EncodeAck(host_.protocol(), kTarget, host_.local())));
      }
    }
    host_.Run(20'000);
    return outcome;
  }

  void Commit(uint16_t length, uint8_t checksum) {
    const FrameOutcome o = Send(host_.Request(kTarget, {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                                        checksum, 0, kTarget, 253}));
    EXPECT_TRUE(o.acked);
  }

  Bus& bus_;
  Host& host_;
};

struct DownloadCase {
  const char* name;
  uint8_t versionHigh;
  size_t length;
  int32_t lostAckFrame;  // body frame whose first acknowledgement is lost; -1 none
  int32_t checksumDelta;
  ProgramStatus expected;
  int32_t repeatsIgnored;
};

const DownloadCase kDownloads[] = {
    {"Alternating13", 2, 13, -1, 0, ProgramStatus::kOk, 0},
    {"Normal13", 0, 13, -1, 0, ProgramStatus::kOk, 0},
    {"Empty", 2, 0, -1, 0, ProgramStatus::kOk, 0},
    {"Long", 3, 600, -1, 0, ProgramStatus::kOk, 0},
    {"AlternatingLostFirstAck", 2, 13, 0, 0, ProgramStatus::kOk, 1},
    {"AlternatingLostMiddleAck", 2, 13, 1, 0, ProgramStatus::kOk, 1},
    {"AlternatingLostLastAck", 2, 13, 2, 0, ProgramStatus::kOk, 1},
    // In normal mode a repeat cannot be told from new data: the device keeps
    // it twice, and its checks catch that.
    {"NormalLostAckTooLong", 0, 13, 1, 0, ProgramStatus::kLengthMismatch, 0},
    {"NormalLostAckWrongSum", 0, 12, 0, 0, ProgramStatus::kChecksumMismatch, 0},
    {"WrongChecksumAnnounced", 2, 13, -1, 1, ProgramStatus::kChecksumMismatch, 0},
};

class DownloadTest : public ::testing::TestWithParam<std::tuple<int32_t, DownloadCase>> {};

TEST_P(DownloadTest, DeviceKeepsTheProgramAndChecksIt) {
  const auto& [protocol, c] = GetParam();
  BusConfig config;
  config.protocol = protocol;
  Bus bus(config);
  Device& device = bus.AddDevice({kTarget, 0x01A2B3, 5, c.versionHigh, 1, {}, 0});
  Host host(bus);
  Downloader down(bus, host);

  const std::vector<uint8_t> program = Program(c.length);
  const bool alternating = c.versionHigh != 0;
  const Body body = BuildBody(protocol, host.local(), program, alternating);
  down.Commit(static_cast<uint16_t>(c.length), static_cast<uint8_t>(body.checksumSum + c.checksumDelta));

  int32_t responses = 0;
  for (size_t k = 0; k < body.frames.size(); ++k) {
    if (static_cast<int32_t>(k) == c.lostAckFrame) device.faults.dropAcks = 1;
    FrameOutcome o = down.Send(body.frames[k]);
    responses += o.responses;
    if (!o.acked) {
      o = down.Send(body.frames[k]);  // the host repeats the same frame
      responses += o.responses;
    }
    ASSERT_TRUE(o.acked) << "frame " << k;
  }

  const ProgramReceipt& receipt = device.program();
  EXPECT_EQ(receipt.status, c.expected);
  EXPECT_EQ(receipt.repeatsIgnored, c.repeatsIgnored);
  EXPECT_EQ(receipt.announcedLength, c.length);
  if (c.expected == ProgramStatus::kOk) {
    EXPECT_EQ(receipt.bytes, program);
    EXPECT_EQ(device.config().remoteError[5], 0);
  } else {
    EXPECT_EQ(device.config().remoteError[5], kReprogramErrorCode);
  }
  // A device that takes alternating downloads answers every body frame it
  // acknowledged with the response code, also when the acknowledgement was
  // lost and the frame came again; the others never do.
  const int32_t sent = static_cast<int32_t>(body.frames.size()) + (c.lostAckFrame >= 0 ? 1 : 0);
  EXPECT_EQ(responses, alternating ? sent : 0);
}

INSTANTIATE_TEST_SUITE_P(Downloads, DownloadTest,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::ValuesIn(kDownloads)),
                         [](const auto& info) {
                           return std::string(std::get<1>(info.param).name) + "_P" +
                                  std::to_string(std::get<0>(info.param));
                         });

TEST(ProgramTest, RebootBeforeTheLastFrameLeavesTheProgramIncomplete) {
  Bus bus;
  Device& device = bus.AddDevice({kTarget, 0x01A2B3, 5, 2, 1, {}, 0});
  Host host(bus);
  Downloader down(bus, host);
  const Body body = BuildBody(2, host.local(), Program(13), true);
  down.Commit(13, body.checksumSum);
  down.Send(body.frames[0]);
  host.Write(host.Request(0, {0, 0, 0, 0, 0, 254}));
  host.Run(10'000);
  EXPECT_EQ(device.program().status, ProgramStatus::kIncomplete);
  EXPECT_EQ(device.program().bytes.size(), 6u);
  EXPECT_EQ(device.config().remoteError[5], kReprogramErrorCode);
}

TEST(ProgramTest, BodyFramesWithoutACommitAreOrdinaryData) {
  Bus bus;
  Device& device = bus.AddDevice({kTarget, 0x01A2B3, 5, 2, 1, {}, 0});
  Host host(bus);
  Downloader down(bus, host);
  const FrameOutcome o = down.Send(BuildBody(2, host.local(), Program(6), true).frames[0]);
  EXPECT_TRUE(o.acked);
  EXPECT_EQ(o.responses, 0);
  EXPECT_EQ(device.program().status, ProgramStatus::kNone);
  EXPECT_EQ(device.heard().size(), 1u);
}

}  // namespace
}  // namespace zeva::sim
