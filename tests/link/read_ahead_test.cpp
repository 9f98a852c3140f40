#include <gtest/gtest.h>

#include "link/read_ahead.h"
#include "link/receive_path.h"
#include "link_rig.h"

namespace zeva::link::test {
namespace {

const Bytes kRequest = DataFrameBytes(2, 5, 1, 0xC1, {0x10, 0x20, 0x30, 0x40, 0x50, 0x21});
const Bytes kAckFrom5 = AckBytes(2, 1, 5);
const Bytes kReply = DataFrameBytes(2, 1, 5, 0xC1, {9, 8, 7, 6, 5, 4});
const Bytes kAckTo5 = AckBytes(2, 5, 1);


// What the port is told after a parse, in the situations a receive path
// meets. A figure too high would hold a frame back; too low costs a wake-up.
TEST(ReadAhead, AsksForWhatTheParserStillLacks) {
  struct Case {
    const char* fault;  // what a wrong figure would do
    int32_t protocol;
    Bytes echo;          // awaited echo, expected at position 0; empty: none
    uint8_t raw;
    Bytes bytes;
    int32_t want;
  };
  const Case cases[] = {
      {"nothing begun: a protocol-2 acknowledgement (5) must not wait for more", 2, {}, 0, {}, 5},
      {"nothing begun: a protocol-1 acknowledgement is 4 bytes", 1, {}, 0, {}, 4},
      {"bytes without a start byte do not shorten the next frame", 2, {}, 0, {0x00, 0x13}, 5},
      {"a lone start byte: the rest of a short frame", 2, {}, 0, {0xFE}, 4},
      {"control not yet in: still only a short frame's rest", 2, {}, 0, Head(kReply, 3), 2},
      {"a data frame's control: the rest of 11 bytes", 2, {}, 0, Head(kReply, 5), 6},
      {"a short frame's control: its checksum only", 2, {}, 0, Head(kAckFrom5, 4), 1},
      {"a complete frame left unparsed: any byte is news", 2, {}, 0, kReply, 1},
      {"a start followed by a byte >= 0x80 is no start", 2, {}, 0, {0xFE, 0x90}, 5},
      {"echo awaited, nothing in: a device frame may still come first", 2, kRequest, 0, {}, 5},
      {"echo begun: the rest of the echo, not of a short frame", 2, kRequest, 0, Head(kRequest, 5), 6},
      {"echo place taken by a device frame: that frame's rest", 2, kRequest, 0, Head(kReply, 5), 6},
      {"raw echo: positioned byte by byte", 2, {0x01, 0x02}, 1, {}, 1},
      {"garbage where the echo is due: the echo (or a frame) still comes whole", 2, kRequest, 0, {0x00, 0x00}, 5},
      {"echo due inside a frame begun before it: each byte counts", 2, Head(kRequest, 11), 0,
       Concat({Head(kReply, 3), Head(kRequest, 2)}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ParserRig rig(c.protocol);
    rig.state.rawSendActive = c.raw;
    if (!c.echo.empty()) rig.AwaitEcho(c.echo, 0);
    EXPECT_EQ(BytesToDecide(rig.state, c.bytes.data(), static_cast<int32_t>(c.bytes.size())), c.want);
  }
}

// Fed one byte at a time, the parser never decides anything before as many
// bytes as the read-ahead asked for have come: a port that holds the data
// event back for them delays no frame, echo or acknowledgement.
TEST(ReadAhead, NeverAsksForMoreThanTheParserNeeds) {
  struct Case {
    const char* name;
    int32_t protocol;
    Bytes echo;
    uint8_t raw;
    Bytes stream;
  };
  const Bytes ack1 = AckBytes(1, 1, 5);
  const Bytes reply1 = DataFrameBytes(1, 1, 5, 0xC1, {1, 2, 3, 4, 5, 6});
  Bytes damaged = kReply;
  damaged[6] ^= 0x40;
  const Case cases[] = {
      {"query exchange", 2, kRequest, 0, Concat({kRequest, kAckFrom5, kReply})},
      {"device ack ahead of the echo", 2, kRequest, 0, Concat({kAckFrom5, kRequest, kReply})},
      {"protocol 1", 1, {}, 0, Concat({ack1, reply1, ack1})},
      {"garbage and a stray start", 2, {}, 0, Concat({{0x13, 0xFE, 0xFE}, kReply, {0x00}, kAckFrom5})},
      {"damaged frame then a good one", 2, {}, 0, Concat({damaged, kReply})},
      {"cut frame then a good one", 2, {}, 0, Concat({Head(kReply, 6), kAckFrom5, kReply})},
      {"differing echo", 2, kRequest, 0, Concat({Head(kRequest, 10), {0x00}, kAckFrom5})},
      {"raw echo", 2, {0x01, 0x02, 0x03}, 1, Concat({{0x01, 0x02, 0x03}, kAckFrom5})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParserRig rig(c.protocol);
    rig.state.rawSendActive = c.raw;
    rig.lastDestination = 5;
    if (!c.echo.empty()) rig.AwaitEcho(c.echo, 0);
    link::ByteQueue accumulator;
    size_t at = 0;
    while (at < c.stream.size()) {
      const int32_t need = BytesToDecide(rig.state, accumulator.data(), accumulator.length());
      int32_t fed = 0;
      bool decided = false;
      while (!decided && at < c.stream.size()) {
        AppendReceived(accumulator, &rig.echo, &c.stream[at++], 1);
        ++fed;
        FoundFrame found;
        while (ParseAndConsume(rig.state, accumulator, &found) != 0) decided = true;
      }
      if (decided) {
        EXPECT_GE(fed, need) << "decided at byte " << at;
      }
    }
  }
}

// A port that reports only when the asked-for bytes are in: the query
// exchange (request echo, device acknowledgement, reply, and the echo of the
// station's acknowledgement written while the reply is handled) yields the
// same frames as a byte-by-byte reader, with six data events instead of 32.
TEST(ReadAhead, QueryExchangeInSixDataEvents) {
  ParserRig rig(2);
  rig.lastDestination = 5;
  rig.AwaitEcho(kRequest, 0);
  link::ByteQueue accumulator;
  const Bytes line = Concat({kRequest, kAckFrom5, kReply, kAckTo5});
  std::vector<uint8_t> sources;
  int32_t need = BytesToDecide(rig.state, accumulator.data(), accumulator.length());
  int32_t queued = 0;
  int events = 0;
  for (size_t at = 0; at < line.size(); ++at) {
    if (++queued < need && at + 1 < line.size()) continue;
    ++events;
    AppendReceived(accumulator, &rig.echo, &line[at + 1 - static_cast<size_t>(queued)], queued);
    queued = 0;
    for (;;) {
      FoundFrame found;
      const int32_t r = ParseAndConsume(rig.state, accumulator, &found);
      rig.header = found.header;
      if (r == 0) break;
      if (r < 0) continue;
      sources.push_back(rig.header.source);
      // The station acknowledges the reply; its echo is awaited from here.
      if (rig.header.source == 5 && !IsShortControl(rig.header.typeAndFlags)) rig.AwaitEcho(kAckTo5, accumulator.length());
    }
    need = BytesToDecide(rig.state, accumulator.data(), accumulator.length());
  }
  EXPECT_EQ(sources, (std::vector<uint8_t>{5, 5}));  // the acknowledgement, then the reply
  EXPECT_EQ(rig.flags.word & (SF_ECHO_PENDING | SF_ECHO_MATCHED | SF_ACK_RECEIVED), SF_ECHO_MATCHED | SF_ACK_RECEIVED);
  EXPECT_EQ(accumulator.length(), 0);
  EXPECT_EQ(events, 6);
}

}  // namespace
}  // namespace zeva::link::test
