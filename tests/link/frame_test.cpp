#include <gtest/gtest.h>

#include "link/frame.h"
#include "support/frames.h"

namespace zeva::link {
namespace {

using zeva::test::Bytes;
using zeva::test::ToBytes;

struct DataFrameCase {
  const char* name;
  int32_t protocol;
  uint8_t destination, source, control;
  uint8_t data[6];
  uint8_t checksum;
};

// Station 1 and device 5; the last two are the frames of a 7-byte type-2
// message in alternating mode.
const DataFrameCase kDataFrames[] = {
    {"type1_p1", 1, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6}, 0xDC},
    {"type1_p2", 2, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6}, 0x5C},
    {"full_p1", 1, 5, 1, 0xC2, {1, 2, 3, 4, 5, 6}, 0xDD},
    {"tail_p1", 1, 5, 1, 0x2A, {7, 0, 0, 0, 0, 0}, 0x37},
    {"full_p2", 2, 5, 1, 0xC2, {1, 2, 3, 4, 5, 6}, 0x9C},
    {"tail_p2", 2, 5, 1, 0x2A, {7, 0, 0, 0, 0, 0}, 0x1F},
};

TEST(FrameCodec, DataFrameWorkedExamples) {
  for (const auto& c : kDataFrames) {
    SCOPED_TRACE(c.name);
    const DataFrame f = EncodeDataFrame(c.protocol, c.destination, c.source, c.control, c.data);
    const Bytes expected{0xFE, c.destination, c.source, c.control, c.data[0], c.data[1],
                         c.data[2], c.data[3], c.data[4], c.data[5], c.checksum};
    EXPECT_EQ(ToBytes(f), expected);
    EXPECT_TRUE(DataFrameValid(c.protocol, f.data()));
    // The other variant's receiver rejects it.
    EXPECT_FALSE(DataFrameValid(c.protocol == 1 ? 2 : 1, f.data()));
  }
  // The sums the checksum-only pass reports for the two-frame message.
  EXPECT_EQ(static_cast<uint8_t>(0xDD + 0x37), 0x14);
  EXPECT_EQ(static_cast<uint8_t>(0x9C + 0x1F), 0xBB);
}

TEST(FrameCodec, ChecksumCoversZeroDataBytes) {
  const uint8_t zeros[6] = {0, 0, 0, 0, 0, 0};
  const uint8_t ones[6] = {0, 0, 0, 0, 0, 1};
  for (int32_t protocol : {1, 2}) {
    // Count 0: the last data byte is outside the count but still checked.
    const DataFrame a = EncodeDataFrame(protocol, 5, 1, 0x01, zeros);
    const DataFrame b = EncodeDataFrame(protocol, 5, 1, 0x01, ones);
    EXPECT_NE(a[10], b[10]) << "protocol " << protocol;
    EXPECT_EQ(a[10], Checksum(protocol, a.data() + 1, 9));
  }
}

struct ShortFrameCase {
  const char* name;
  ShortFrame frame;
  Bytes expected;
};

TEST(FrameCodec, ShortFrameEncodings) {
  const ShortFrameCase cases[] = {
      {"ack_of_5_p1", EncodeAck(1, 5, 1), {0xFE, 0x05, 0x01, 0x10}},
      {"ack_of_5_p2", EncodeAck(2, 5, 1), {0xFE, 0x05, 0x01, 0x10, 0xDE}},
      {"ack_of_4_p1_odd_sum", EncodeAck(1, 4, 1), {0xFE, 0x04, 0x01, 0x90}},
      // Bit 7 given by the caller is replaced by the check bit.
      {"p1_check_bit_recomputed", EncodeShortFrame(1, 4, 1, 0x10), {0xFE, 0x04, 0x01, 0x90}},
      {"p1_check_bit_cleared", EncodeShortFrame(1, 5, 1, 0x90), {0xFE, 0x05, 0x01, 0x10}},
      // Type 6: 0x1E plus the low two bits of the first data byte in bits 5-6.
      {"type6_code3_p2", EncodeType6ShortFrame(2, 5, 1, 0xFF),
       {0xFE, 0x05, 0x01, 0x7E, ChecksumStep(0x7E, ChecksumStep(1, ChecksumStep(5, 0x17)))}},
      {"type6_code1_p1", EncodeType6ShortFrame(1, 5, 1, 0x05), {0xFE, 0x05, 0x01, 0x3E}},
      {"type6_code2_p1_odd_sum", EncodeType6ShortFrame(1, 4, 1, 0x02), {0xFE, 0x04, 0x01, 0xDE}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToBytes(c.frame), c.expected);
    EXPECT_TRUE(ShortFrameValid(c.frame.size == 4 ? 1 : 2, c.frame.bytes.data()));
  }
}

struct ValidityCase {
  const char* name;
  int32_t protocol;
  Bytes frame;
  bool valid;
};

TEST(FrameCodec, ShortFrameValidity) {
  const ValidityCase cases[] = {
      {"p1_ack", 1, {0xFE, 0x05, 0x01, 0x10}, true},
      {"p1_check_bit_wrong", 1, {0xFE, 0x05, 0x01, 0x90}, false},
      {"p2_ack", 2, {0xFE, 0x05, 0x01, 0x10, 0xDE}, true},
      {"p2_checksum_wrong", 2, {0xFE, 0x05, 0x01, 0x10, 0xDF}, false},
      // Protocol 2 judges by the fifth byte only: bit 7 of control is data.
      {"p2_bit7_is_data", 2,
       {0xFE, 0x05, 0x01, 0x90, ChecksumStep(0x90, ChecksumStep(1, ChecksumStep(5, 0x17)))}, true},
      {"no_start_byte", 1, {0xFD, 0x05, 0x01, 0x10}, false},
      {"destination_high_bit", 1, {0xFE, 0x85, 0x01, 0x90}, false},
      {"data_control_is_not_short", 1, {0xFE, 0x05, 0x01, 0x98}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ShortFrameValid(c.protocol, c.frame.data()), c.valid);
  }
}

TEST(FrameCodec, FrameKindFromControl) {
  struct KindCase {
    uint8_t control;
    bool isShort;
  };
  const KindCase cases[] = {
      {0x10, true},  {0x18, false}, {0x08, false}, {0x00, false}, {0xC1, false},
      {0x06, true},  {0x07, true},  {0x0E, true},  {0x1E, true},  {0x1F, true},
      {0x16, true},  {0x11, true},  {0x19, false}, {0xE5, false}, {0x7E, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsShortControl(c.control), c.isShort) << std::hex << int(c.control);
  }
}

// A raw frame's checksum slot takes the protocol-2 checksum of the bytes
// between the start byte and the slot, whatever their number.
TEST(FrameCodec, ChecksumOfRawFrames) {
  struct RawCase {
    Bytes frame;
    uint8_t checksum;
  };
  const RawCase cases[] = {
      {{0xFE, 0x05, 0x01, 0xC1, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00}, 0x5C},
      {{0xFE, 0x05, 0x01, 0x10, 0x00}, 0xDE},
      {{0xFE, 0x05, 0x00, 0x00}, 0x66},  // 0x17 -> 0x33 -> 0x66
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Checksum(2, c.frame.data() + 1, c.frame.size() - 2), c.checksum);
  }
}

}  // namespace
}  // namespace zeva::link
