// The wire log's judgement of where a frame the driver took came from: only
// what the line itself made of the bytes may pass as the wire format's limit.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/bus.h"
#include "soak/wire_log.h"
#include "tests/sim/host_harness.h"

namespace zeva::soak {
namespace {

constexpr uint8_t kStation = 1;

Bytes FrameFrom(uint8_t source, uint8_t last) {
  const uint8_t data[6] = {9, 8, 7, 6, 5, last};
  const link::DataFrame f = link::EncodeDataFrame(2, kStation, source, 0xC1, data);
  return Bytes(f.begin(), f.end());
}

// A frame from device 5 whose checksum byte is a start byte: its first ten
// bytes and any burst that begins with a start byte check as this frame.
Bytes EndingInStartByte() {
  for (uint8_t last = 0;; ++last) {
    const Bytes frame = FrameFrom(5, last);
    if (frame.back() == link::kStartByte) return frame;
  }
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n)); }

struct OriginCase {
  const char* name;
  std::vector<std::pair<size_t, Bytes>> bursts;  // device index, bytes; 20 ms apart
  Bytes taken;                                   // the frame whose data the driver handed on
  Origin origin;
};

void PrintTo(const OriginCase& c, std::ostream* os) { *os << c.name; }

class WireLogOrigin : public ::testing::TestWithParam<OriginCase> {};

TEST_P(WireLogOrigin, OnlyTheLinesDoingIsALimit) {
  const OriginCase& c = GetParam();
  sim::Bus bus;
  bus.AddDevice({5, 0x000005, 5, 1, 0, {}, 0});
  bus.AddDevice({6, 0x000006, 6, 1, 0, {}, 0});
  WireLog log(bus);
  sim::testing::Host host(bus);
  uint64_t at = 1'000;
  for (const auto& [device, bytes] : c.bursts) {
    bus.SendFromDevice(device, at, bytes);
    at += 20'000;
  }
  host.Run(at);
  EXPECT_EQ(log.OriginOf(c.taken[2], DeliveredData(c.taken).data()), c.origin);
}

const Bytes kCut = EndingInStartByte();
const Bytes kOther = FrameFrom(6, 1);

INSTANTIATE_TEST_SUITE_P(
    Soak, WireLogOrigin,
    ::testing::Values(OriginCase{"SentIntact", {{0, FrameFrom(5, 3)}}, FrameFrom(5, 3), Origin::kSent},
                      OriginCase{"CutShortThenAnotherBurst", {{0, Head(kCut, 10)}, {1, kOther}}, kCut,
                                 Origin::kCheckPassedOnJoin},
                      OriginCase{"CutShortAlone", {{0, Head(kCut, 10)}}, kCut, Origin::kNowhere},
                      OriginCase{"NeverOnTheLine", {{0, FrameFrom(5, 3)}}, FrameFrom(5, 4), Origin::kNowhere},
                      OriginCase{"OtherSource", {{0, Head(kCut, 10)}, {1, kOther}}, FrameFrom(6, 0),
                                 Origin::kNowhere}),
    [](const auto& info) { return std::string(info.param.name); });

// An acknowledgement made by the line: a short frame that checks only
// because its bytes came in two bursts.
TEST(WireLog, DamagedAckIsOnlyOneTheLineMade) {
  const link::ShortFrame ack = link::EncodeAck(2, kStation, 5);
  const Bytes ackBytes(ack.bytes.begin(), ack.bytes.begin() + ack.size);
  for (const bool split : {false, true}) {
    SCOPED_TRACE(split);
    sim::Bus bus;
    bus.AddDevice({5, 0x000005, 5, 1, 0, {}, 0});
    bus.AddDevice({6, 0x000006, 6, 1, 0, {}, 0});
    WireLog log(bus);
    sim::testing::Host host(bus);
    if (split) {
      bus.SendFromDevice(0, 1'000, Head(ackBytes, 3));
      bus.SendFromDevice(1, 20'000, Bytes(ackBytes.begin() + 3, ackBytes.end()));
    } else {
      bus.SendFromDevice(0, 1'000, ackBytes);
    }
    host.Run(40'000);
    EXPECT_EQ(log.DamagedAckArrived(5, 0), split);
    EXPECT_FALSE(log.DamagedAckArrived(6, 0));
  }
}

}  // namespace
}  // namespace zeva::soak
