#include <gtest/gtest.h>

#include "link_rig.h"

namespace zeva::link::test {
namespace {

const uint8_t kD123456[6] = {1, 2, 3, 4, 5, 6};
const Bytes kFrameP2 = DataFrameBytes(2, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6});  // ... 5C
const Bytes kFrameP1 = DataFrameBytes(1, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6});  // ... DC
const Bytes kFromDevice = DataFrameBytes(2, 1, 5, 0xC1, {9, 8, 7, 6, 5, 4});

Bytes Corrupt(Bytes b, size_t at) {
  b[at] ^= 0x01;
  return b;
}

Bytes P2Short(uint8_t destination, uint8_t source, uint8_t control) {
  return ToBytes(EncodeShortFrame(2, destination, source, control));
}

constexpr uint32_t kBusy = SF_TX_ACTIVE | SF_RESPONSE_WAIT | SF_ACK_PENDING | SF_IDENTIFY_REPLY;

struct ParseCase {
  const char* name;
  int32_t protocol;
  Bytes bytes;
  int32_t result;
  uint8_t source = 0;  // header source of a frame found (result > 0)
  uint32_t flagsBefore = 0;
  uint8_t lastDestinationBefore = 0;
  uint32_t flagsAfter = 0;
  uint8_t lastDestinationAfter = 0;
};

const ParseCase kCases[] = {
    {"worked_example_p2", 2, kFrameP2, 11, 1},
    {"worked_example_p1", 1, kFrameP1, 11, 1},
    {"stray_start_byte", 2, Concat({{0xFE}, kFrameP2}), 12, 1},
    {"start_then_high_byte", 2, Concat({{0xFE, 0x85}, kFrameP2}), 13, 1},
    {"garbage_before", 2, Concat({{0x00, 0x13, 0x7F}, kFrameP2}), 14, 1},
    {"bad_checksum_then_valid", 2, Concat({Corrupt(kFrameP2, 10), kFromDevice}), 22, 5},
    {"bad_data_then_valid", 1, Concat({Corrupt(kFrameP1, 6), kFrameP1}), 22, 1},
    {"frame_then_partial", 2, Concat({kFromDevice, {0xFE, 0x01, 0x05, 0xC1}}), 11, 5},
    {"partial_only", 2, {0xFE, 0x01, 0x05, 0xC1}, 0},
    {"p2_three_bytes", 2, {0xFE, 0x05, 0x01}, 0},
    {"start_at_end", 2, {0x00, 0xFE}, 0},
    {"no_start", 2, {0x05, 0x01, 0xC1, 0x80}, 0},
    {"data_frame_missing_checksum", 2, Bytes(kFrameP2.begin(), kFrameP2.end() - 1), 0},
    {"other_variant_rejected", 1, kFrameP2, 0},
    {"other_variant_rejected_p2", 2, kFrameP1, 0},
    // Acknowledgements.
    {"p1_ack_of_last_destination", 1, {0xFE, 0x01, 0x05, 0x10}, 4, 5,
     SF_ACK_PENDING | SF_TX_ACTIVE, 5, SF_ACK_RECEIVED | SF_TX_ACTIVE, 5},
    {"p2_ack_of_last_destination", 2, AckBytes(2, 1, 5), 5, 5,
     SF_ACK_PENDING, 5, SF_ACK_RECEIVED, 5},
    {"ack_from_other_device", 1, {0xFE, 0x01, 0x07, 0x10}, 4, 7, SF_ACK_PENDING, 5,
     SF_ACK_PENDING, 5},
    {"ack_addressed_elsewhere", 2, AckBytes(2, 9, 5), 5, 5, SF_ACK_PENDING, 5,
     SF_ACK_RECEIVED, 5},
    {"p1_ack_check_bit_wrong", 1, {0xFE, 0x01, 0x05, 0x90}, 0, 0, SF_ACK_PENDING, 5,
     SF_ACK_PENDING, 5},
    {"p2_ack_checksum_wrong", 2, Corrupt(AckBytes(2, 1, 5), 4), 0, 0,
     SF_ACK_PENDING, 5, SF_ACK_PENDING, 5},
    {"type6_with_bit4_acts_as_ack", 2, ToBytes(EncodeType6ShortFrame(2, 1, 5, 2)), 5, 5,
     SF_ACK_PENDING, 5, SF_ACK_RECEIVED, 5},
    // Short frames without the acknowledgement bit: codes 1 and 2 reset the
    // link state, every one forgets the last destination.
    {"type7_code1_resets", 2, P2Short(1, 5, 0x27), 5, 5, kBusy | SF_ECHO_MATCHED, 5, 0, 0},
    {"type6_code2_resets", 2, P2Short(1, 5, 0x46), 5, 5, kBusy, 5, 0, 0},
    {"type6_code2_bit3_resets", 1, ToBytes(EncodeShortFrame(1, 1, 5, 0x4E)), 4, 5, kBusy, 5, 0,
     0},
    {"type6_code0_keeps_flags", 2, P2Short(1, 5, 0x06), 5, 5, kBusy, 5, kBusy, 0},
    {"type7_code3_keeps_flags", 2, P2Short(1, 5, 0x67), 5, 5, kBusy, 5, kBusy, 0},
    // Type 0 with both bits 3 and 4, or bit 3 alone, is a data frame.
    {"control_18_is_data", 2, DataFrameBytes(2, 1, 5, 0x18, {}), 11, 5},
    {"control_08_is_data", 2, DataFrameBytes(2, 1, 5, 0x08, {}), 11, 5},
    {"control_18_needs_11_bytes", 2, Bytes{0xFE, 0x01, 0x05, 0x18, 0x00}, 0},
};

TEST(ParseFrame, Cases) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ParserRig rig(c.protocol);
    rig.flags.word = c.flagsBefore;
    rig.lastDestination = c.lastDestinationBefore;
    EXPECT_EQ(rig.Parse(c.bytes), c.result);
    EXPECT_EQ(rig.flags.word, c.flagsAfter);
    EXPECT_EQ(rig.lastDestination, c.lastDestinationAfter);
    if (c.result > 0) {
      EXPECT_EQ(rig.header.source, c.source);
    }
  }
}

TEST(ParseFrame, HeaderOfDataFrame) {
  for (int32_t protocol : {1, 2}) {
    ParserRig rig(protocol);
    rig.header.unused3 = 0xAA;
    rig.header.unused7 = 0xBB;
    const Bytes f = DataFrameBytes(protocol, 1, 5, 0xCA, {1, 2, 3, 4, 5, 6});
    ASSERT_EQ(rig.Parse(f), 11);
    EXPECT_EQ(rig.header.source, 5);
    EXPECT_EQ(rig.header.destination, 1);
    EXPECT_EQ(rig.header.typeAndFlags, 0x0A);
    EXPECT_EQ(rig.header.count, 6);
    EXPECT_EQ(rig.header.receivedChecksum, f[10]);
    EXPECT_EQ(rig.header.computedChecksum, f[10]);
    EXPECT_EQ(rig.header.unused3, 0xAA);
    EXPECT_EQ(rig.header.unused7, 0xBB);
  }
}

TEST(ParseFrame, HeaderOfShortFrames) {
  ParserRig p1(1);
  ASSERT_EQ(p1.Parse({0xFE, 0x04, 0x01, 0x90}), 4);
  EXPECT_EQ(p1.header.count, 4);  // the check bit shows in count
  EXPECT_EQ(p1.header.typeAndFlags, 0x10);
  EXPECT_EQ(p1.header.computedChecksum, 0x15);
  EXPECT_EQ(p1.header.receivedChecksum, 0x15);

  ParserRig p2(2);
  ASSERT_EQ(p2.Parse({0xFE, 0x05, 0x01, 0x10, 0xDE}), 5);
  EXPECT_EQ(p2.header.computedChecksum, 0xDE);
  EXPECT_EQ(p2.header.receivedChecksum, 0xDE);
}

// Positions up to and including count are copied; count 6 and 7 copy all
// six and nothing beyond them.
TEST(ParseFrame, DataAreaByCount) {
  struct CountCase {
    uint8_t count;
    Bytes area;
  };
  const CountCase cases[] = {
      {0, {0x11, 0, 0, 0, 0, 0}},
      {2, {0x11, 0x22, 0x33, 0, 0, 0}},
      {4, {0x11, 0x22, 0x33, 0x44, 0x55, 0}},
      {5, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}},
      {6, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}},
      {7, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}},
  };
  for (int32_t protocol : {1, 2}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "protocol " << protocol << " count " << int(c.count));
      ParserRig rig(protocol);
      uint8_t guard[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
      const Bytes f =
          DataFrameBytes(protocol, 1, 5, CountField(c.count) | 1, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
      const int32_t r = ParseFrame(rig.state, f.data(), 11, &rig.header, guard + 1);
      ASSERT_EQ(r, 11);  // the checksum took all six bytes
      EXPECT_EQ(Bytes(guard + 1, guard + 7), c.area);
      EXPECT_EQ(guard[0], 0xEE);
      EXPECT_EQ(guard[7], 0xEE);
    }
  }
}

// A frame cut off at the end is parsed again from the start when the rest
// has arrived.
TEST(ParseFrame, FrameCompletedLater) {
  for (int32_t protocol : {1, 2}) {
    const Bytes f = DataFrameBytes(protocol, 1, 5, 0xC1, {1, 2, 3, 4, 5, 6});
    for (size_t cut = 1; cut < f.size(); ++cut) {
      ParserRig rig(protocol);
      EXPECT_EQ(rig.Parse(Bytes(f.begin(), f.begin() + static_cast<long>(cut))), 0) << cut;
      EXPECT_EQ(rig.Parse(f), 11) << cut;
      EXPECT_EQ(Bytes(rig.data, rig.data + 6), Bytes(kD123456, kD123456 + 6));
    }
  }
}

// Every frame the codec builds is found by the parser, with the codec's
// own validity agreeing.
TEST(ParseFrame, AgreesWithCodecValidity) {
  for (int32_t protocol : {1, 2}) {
    for (int control = 0; control < 256; ++control) {
      const uint8_t ctl = static_cast<uint8_t>(control);
      ParserRig rig(protocol);
      if (IsShortControl(ctl)) {
        const ShortFrame s = EncodeShortFrame(protocol, 1, 5, ctl);
        ASSERT_TRUE(ShortFrameValid(protocol, s.bytes.data()));
        ASSERT_EQ(rig.Parse(ToBytes(s)), s.size) << control;
      } else {
        const Bytes f = DataFrameBytes(protocol, 1, 5, ctl, {1, 2, 3, 0xFE, 5, 6});
        ASSERT_TRUE(DataFrameValid(protocol, f.data()));
        ASSERT_EQ(rig.Parse(f), 11) << control;
      }
    }
  }
}

}  // namespace
}  // namespace zeva::link::test
