#include <gtest/gtest.h>

#include "link_rig.h"

namespace zeva::link::test {
namespace {

const Bytes kWritten = DataFrameBytes(2, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6});
const Bytes kWrittenP1 = DataFrameBytes(1, 5, 1, 0xC1, {1, 2, 3, 4, 5, 6});
const Bytes kAckFrom5 = AckBytes(2, 1, 5);
const Bytes kAckFrom5P1 = AckBytes(1, 1, 5);
const Bytes kFromDevice = DataFrameBytes(2, 1, 5, 0xC1, {9, 8, 7, 6, 5, 4});
const Bytes kRaw = {0x01, 0x02, 0x03, 0x04};

Bytes With(Bytes b, size_t at, uint8_t value) {
  b[at] = value;
  return b;
}

// A frame from device 5 whose checksum byte is a start byte: cut short by a
// lost byte, its first ten bytes and the first byte of the echo after them
// would check as this frame.
Bytes EndingInStartByte() {
  for (uint8_t last = 0;; ++last) {
    const Bytes frame = DataFrameBytes(2, 1, 5, 0xC1, {9, 8, 7, 6, 5, last});
    if (frame.back() == kStartByte) return frame;
  }
}
const Bytes kCutShort = Head(EndingInStartByte(), 10);
const Bytes kAckFrom6 = AckBytes(2, 1, 6);

// Each case starts as a write to device 5 leaves things: a transmission
// active, its acknowledgement and its echo pending.
struct EchoCase {
  const char* name;
  int32_t protocol;
  uint8_t raw;  // a raw send is writing
  Bytes written;
  int32_t echoStart;
  Bytes received;
  int32_t result;
  bool matched;      // SF_ECHO_MATCHED afterwards
  bool settled;      // echo compared: buffer empty, echoStart -1, no longer pending
  bool acked = false;
};

const EchoCase kCases[] = {
    {"full_echo", 2, 0, kWritten, 0, kWritten, -11, true, true},
    {"partial_echo_waits", 2, 0, kWritten, 0, Head(kWritten, 8), 0, false, false},
    {"echo_differs", 2, 0, kWritten, 0, With(kWritten, 6, 0x33), -11, false, true},
    {"echo_checksum_differs", 2, 0, kWritten, 0, With(kWritten, 10, 0x00), -11, false, true},
    {"echo_then_ack", 2, 0, kWritten, 0, Concat({kWritten, kAckFrom5}), 16, true, true, true},
    {"echo_then_ack_p1", 1, 0, kWrittenP1, 0, Concat({kWrittenP1, kAckFrom5P1}), 15, true, true,
     true},
    // The echo is dropped at once so it is never parsed again as a frame.
    {"echo_then_partial_ack", 2, 0, kWritten, 0, Concat({kWritten, Head(kAckFrom5, 3)}), -11, true,
     true},
    {"frame_before_echo_start", 2, 0, kWritten, 11, Concat({kFromDevice, kWritten}), 11, false,
     false},
    {"echo_after_leftover", 2, 0, kWritten, 5, Concat({Head(kFromDevice, 5), kWritten}), -16, true,
     true},
    {"echo_after_garbage", 2, 0, kWritten, 2, Concat({{0x00, 0x13}, kWritten}), -13, true, true},
    {"echo_of_ack", 2, 0, AckBytes(2, 5, 1), 0, AckBytes(2, 5, 1), -5,
     true, true},
    // A device's frame that came between the write and its echo (queued in
    // the port, or held back by the adapter while the device talked) is
    // handed on, and the echo is still awaited right after it.
    {"device_frame_where_echo_is_due", 2, 0, kWritten, 0, Concat({kFromDevice, kWritten}), 11, false,
     false},
    {"device_frame_where_echo_is_due_p1", 1, 0, kWrittenP1, 0,
     Concat({DataFrameBytes(1, 1, 5, 0xC1, {9, 8, 7, 6, 5, 4}), kWrittenP1}), 11, false, false},
    {"other_ack_where_echo_is_due", 2, 0, kWritten, 0, Concat({kAckFrom6, kWritten}), 5, false, false},
    // An acknowledgement ahead of the echo of the frame it would answer was
    // sent before the device could hear that frame.
    {"ack_ahead_of_its_frame_echo", 2, 0, kWritten, 0, Concat({kAckFrom5, kWritten}), 5, false,
     false},
    {"ack_ahead_of_echo_left_over", 2, 0, kWritten, 5, Concat({kAckFrom5, kWritten}), 5, false,
     false},
    // Damaged talk of a device where the echo is due is searched past.
    {"damaged_frame_where_echo_is_due", 2, 0, kWritten, 0,
     Concat({With(kFromDevice, 6, 0x00), kWritten}), -22, true, true},
    {"damaged_frame_then_partial_echo", 2, 0, kWritten, 0,
     Concat({With(kFromDevice, 6, 0x00), Head(kWritten, 6)}), 0, false, false},
    // The echo begins where it is due: a frame cut short before the write
    // is not completed from the echo's bytes, whole or still arriving.
    {"cut_short_frame_before_echo", 2, 0, kWritten, 10, Concat({kCutShort, kWritten}), -21, true,
     true},
    {"cut_short_frame_before_echo_start", 2, 0, kWritten, 10, Concat({kCutShort, Head(kWritten, 1)}),
     0, false, false},
    // Raw sends: the echo is found from the written bytes, not a start byte.
    {"raw_without_start_byte", 2, 1, kRaw, 0, kRaw, -4, true, true},
    {"raw_single_byte", 2, 1, {0x55}, 0, {0x55}, -1, true, true},
    {"raw_whole_frame", 2, 1, kWritten, 0, kWritten, -11, true, true},
    {"raw_frame_then_ack", 2, 1, kWritten, 0, Concat({kWritten, kAckFrom5}), 16, true, true, true},
    {"raw_then_ack", 1, 1, kRaw, 0, Concat({kRaw, kAckFrom5P1}), 8, true, true, true},
    {"raw_then_partial_ack", 2, 1, kRaw, 0, Concat({kRaw, Head(kAckFrom5, 2)}), -4, true, true},
    {"raw_first_byte_corrupted", 2, 1, kRaw, 0, With(kRaw, 0, 0x81), -4, false, true},
    {"raw_middle_corrupted", 2, 1, kRaw, 0, With(kRaw, 2, 0x07), -4, false, true},
    {"raw_frame_corrupted", 2, 1, kWritten, 0, With(kWritten, 0, 0x7E), -11, false, true},
    {"raw_partial_waits", 2, 1, kRaw, 0, Head(kRaw, 2), 0, false, false},
    {"raw_not_arrived", 2, 1, kRaw, 3, {0xFE, 0x01, 0x05}, 0, false, false},
    {"raw_after_stray_byte", 2, 1, {0x55, 0x66, 0x77}, 0, {0x33, 0x55, 0x66, 0x77}, -4, true, true},
    {"raw_repeated_byte_after_stray", 2, 1, {0x55, 0x55, 0x55}, 0, {0x33, 0x55, 0x55, 0x55}, -4,
     true, true},
    {"raw_frame_before_echo", 2, 1, kRaw, 11, Concat({kFromDevice, kRaw}), 11, false, false},
    {"raw_leftover_before_echo", 2, 1, kRaw, 4, Concat({Head(kFromDevice, 4), kRaw}), -8, true,
     true},
    // A start byte in the leftover does not pull the echo into a frame.
    {"raw_leftover_reaching_into_echo", 2, 1, kRaw, 1, Concat({{0xFE}, kRaw, kAckFrom5}), 10,
     true, true, true},
};

TEST(ParseFrameEcho, Cases) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ParserRig rig(c.protocol);
    rig.state.rawSendActive = c.raw;
    rig.flags.Set(SF_TX_ACTIVE | SF_ACK_PENDING);
    rig.lastDestination = 5;
    rig.AwaitEcho(c.written, c.echoStart);

    EXPECT_EQ(rig.Parse(c.received), c.result);

    uint32_t expected = SF_TX_ACTIVE;
    expected |= c.acked ? SF_ACK_RECEIVED : SF_ACK_PENDING;
    if (c.matched) expected |= SF_ECHO_MATCHED;
    if (!c.settled) expected |= SF_ECHO_PENDING;
    EXPECT_EQ(rig.flags.word, expected);
    if (c.settled) {
      EXPECT_FALSE(rig.echo.Awaited());
    } else {
      EXPECT_EQ(rig.EchoBytes(), c.written);
      EXPECT_EQ(rig.echo.start(), c.echoStart);
    }
  }
}

// With the echo pending but nothing recorded to compare, no echo can be
// confirmed: the frame is parsed as such and the echo is not reported as
// matched.
TEST(ParseFrameEcho, NothingRecordedConfirmsNothing) {
  ParserRig rig(2);
  rig.flags.Set(SF_ECHO_PENDING);
  EXPECT_EQ(rig.Parse(kFromDevice), 11);
  EXPECT_EQ(rig.flags.word, 0u);
  EXPECT_FALSE(rig.echo.Awaited());
}

TEST(ParseFrameEcho, RecordedBytesWithoutPendingEchoAreIgnored) {
  for (uint8_t raw : {0, 1}) {
    ParserRig rig(2);
    rig.state.rawSendActive = raw;
    rig.echo.Expect(kWritten.data(), 11);
    rig.flags.Clear(SF_ECHO_PENDING);
    EXPECT_EQ(rig.Parse(kWritten), 11);
    EXPECT_EQ(rig.flags.word, 0u);
    EXPECT_EQ(rig.echo.length(), 11);
  }
}

TEST(ParseFrameEcho, NoEchoBufferAtAll) {
  ParserRig rig(2);
  rig.state.echo = nullptr;
  rig.state.rawSendActive = 1;
  rig.flags.Set(SF_ECHO_PENDING);
  EXPECT_EQ(rig.Parse(kWritten), 11);
  EXPECT_EQ(rig.flags.word, SF_ECHO_PENDING);
}

}  // namespace
}  // namespace zeva::link::test
