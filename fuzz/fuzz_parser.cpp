// libFuzzer target for the frame parser and the receive path around it.
//
// Input: five leading bytes choose the link state, then (optionally) the
// bytes of the last echo-checking write, then the received stream, which is
// fed in chunks through append, parse, drop.
//   byte 0: bit 0 protocol 1 (else 2), bit 1 echo pending, bit 2 raw send,
//           bit 3 the echo is the stream's first bytes (else taken from the
//           input), bits 4-7 echo length (0 to 15)
//   byte 1: LastDestination
//   byte 2: echoStart (0xFF: -1, otherwise 0 to 63)
//   byte 3: seed of the chunk sizes (1 to 32)
//   byte 4: other flags set on entry
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "link/status_flags.h"
#include "link/frame.h"
#include "link/parser.h"
#include "link/receive_path.h"
#include "link/byte_queue.h"

namespace {

using namespace zeva;
using namespace zeva::link;

#define FUZZ_CHECK(condition)      \
  do {                             \
    if (!(condition)) __builtin_trap(); \
  } while (0)

constexpr size_t kPrefix = 5;
constexpr uint32_t kEntryFlags[8] = {SF_ACK_PENDING,    SF_TX_ACTIVE,     SF_ACK_RECEIVED,
                                     SF_ECHO_MATCHED,   SF_IDENTIFY_REPLY, SF_RESPONSE_MATCHED,
                                     SF_RESPONSE_WAIT,  SF_QUERY_REPLY};
// What the parser may set; everything else it may only clear.
constexpr uint32_t kParserSets = SF_ECHO_MATCHED | SF_ACK_RECEIVED;

struct Link {
  StatusFlags flags;
  uint8_t lastDestination = 0;
  EchoTracker echo{flags};
  link::ByteQueue accumulator;
  ParserState state;
};

// A valid frame ends at `end`: it re-encodes to the same bytes, and the
// header and data area describe it.
void CheckFrame(int32_t protocol, const uint8_t* bytes, int32_t end, const FrameHeader& h,
                const uint8_t data[6]) {
  const bool isShort = IsShortControl(h.typeAndFlags);
  const int32_t size = isShort ? ShortFrameSize(protocol) : kDataFrameSize;
  FUZZ_CHECK(end >= size);
  const uint8_t* frame = bytes + end - size;
  const uint8_t control = static_cast<uint8_t>(h.typeAndFlags | (h.count << 5));
  FUZZ_CHECK(frame[1] == h.destination && frame[2] == h.source && frame[3] == control);
  FUZZ_CHECK(h.receivedChecksum == h.computedChecksum);
  if (isShort) {
    FUZZ_CHECK(ShortFrameValid(protocol, frame));
    const ShortFrame again = EncodeShortFrame(protocol, h.destination, h.source, control);
    FUZZ_CHECK(again.size == size && std::memcmp(again.bytes.data(), frame, size) == 0);
    return;
  }
  FUZZ_CHECK(DataFrameValid(protocol, frame) && h.receivedChecksum == frame[10]);
  const DataFrame again = EncodeDataFrame(protocol, h.destination, h.source, control, frame + 4);
  FUZZ_CHECK(std::memcmp(again.data(), frame, kDataFrameSize) == 0);
  for (int i = 0; i < 6; ++i) FUZZ_CHECK(data[i] == (i <= h.count ? frame[4 + i] : 0));
}

// One parse of the accumulator, checked. Returns the parser's result.
int32_t ParseChecked(Link& link) {
  // An exactly sized copy, so that a read past the end is caught.
  const int32_t length = link.accumulator.length();
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[static_cast<size_t>(length)]);
  std::memcpy(bytes.get(), link.accumulator.data(), static_cast<size_t>(length));
  const std::vector<uint8_t> echoBefore(link.echo.data(), link.echo.data() + link.echo.length());
  const int32_t writesBefore = link.echo.writes();
  const uint32_t flagsBefore = link.flags.word;

  FrameHeader header;
  uint8_t data[6] = {0, 0, 0, 0, 0, 0};
  const int32_t result = ParseFrame(link.state, bytes.get(), length, &header, data);

  FUZZ_CHECK(result <= length && result >= -length);
  FUZZ_CHECK((link.flags.word & ~flagsBefore & ~kParserSets) == 0);
  if (result > 0) CheckFrame(link.state.protocol, bytes.get(), result, header, data);
  // An echo no longer pending was compared: none is awaited any more, and
  // the write it belongs to is still recorded for its verdict.
  const bool echoCleared = (flagsBefore & SF_ECHO_PENDING) != 0 && (link.flags.word & SF_ECHO_PENDING) == 0;
  if (echoCleared) FUZZ_CHECK(!link.echo.Awaited() && link.echo.start() == -1);
  FUZZ_CHECK(link.echo.writes() == writesBefore);
  // A match is only reported for bytes that are there, in what is dropped.
  if ((link.flags.word & ~flagsBefore & SF_ECHO_MATCHED) != 0) {
    const int32_t dropped = result < 0 ? -result : result;
    FUZZ_CHECK(!echoBefore.empty());
    FUZZ_CHECK(std::search(bytes.get(), bytes.get() + dropped, echoBefore.begin(),
                           echoBefore.end()) != bytes.get() + dropped);
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < kPrefix) return 0;
  const uint8_t mode = input[0];
  Link link;
  link.state.flags = &link.flags;
  link.state.lastDestination = &link.lastDestination;
  link.state.echo = &link.echo;
  link.state.protocol = (mode & 1) != 0 ? 1 : 2;
  link.state.rawSendActive = (mode & 4) != 0 ? 1 : 0;
  link.lastDestination = input[1];
  for (int i = 0; i < 8; ++i) {
    if ((input[4] >> i) & 1) link.flags.Set(kEntryFlags[i]);
  }

  const uint8_t* rest = input + kPrefix;
  size_t restSize = size - kPrefix;
  const size_t echoLength = std::min<size_t>(mode >> 4, restSize);
  if ((mode & 2) != 0) {
    // A write made when the accumulator held that many bytes; 0xFF: the
    // pending mark without a write recorded.
    if (input[2] == 0xFF) {
      link.flags.Set(SF_ECHO_PENDING);
    } else {
      link.echo.Appended(input[2] & 0x3F);
      link.echo.Expect(rest, static_cast<int32_t>(echoLength));
      link.echo.Appended(0);
    }
  }
  if ((mode & 8) == 0) {  // the echo bytes are not part of the stream
    rest += echoLength;
    restSize -= echoLength;
  }

  // Every pass either drops bytes or waits for more, so the passes are
  // bounded by the bytes plus one wait per chunk.
  uint32_t chunkState = input[3];
  size_t passes = 0;
  const size_t passBound = restSize * 2 + 2;
  for (size_t at = 0; at < restSize;) {
    chunkState = chunkState * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(1 + ((chunkState >> 16) & 31), restSize - at);
    AppendReceived(link.accumulator, &link.echo, rest + at, static_cast<int32_t>(n));
    at += n;
    while (link.accumulator.length() > 0) {
      FUZZ_CHECK(++passes <= passBound);
      const int32_t before = link.accumulator.length();
      const int32_t result = ParseChecked(link);
      ConsumeParsed(link.accumulator, &link.echo, result);
      FUZZ_CHECK(link.accumulator.length() == before - (result < 0 ? -result : result));
      FUZZ_CHECK(link.echo.received() == link.accumulator.length());
      if (result == 0) break;
    }
  }
  return 0;
}
