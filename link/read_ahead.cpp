#include "link/read_ahead.h"

#include <algorithm>

#include "link/frame.h"

namespace zeva::link {
namespace {

// The size of a frame whose first `have` bytes (from the start byte) are at
// `frame`, as far as they tell: a short frame until the control byte is in.
int32_t FrameSizeSoFar(int32_t protocol, const uint8_t* frame, int32_t have) {
  const int32_t shortSize = ShortFrameSize(protocol);
  if (have < 4) return shortSize;
  return IsShortControl(frame[3]) ? shortSize : kDataFrameSize;
}

// The first position where the parser's start search stops: a start byte
// followed by a possible destination, or by nothing yet. -1 when none.
int32_t FirstStart(const uint8_t* bytes, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (bytes[i] == kStartByte && (i + 1 == length || bytes[i + 1] < 0x80)) return i;
  }
  return -1;
}

// True when the bytes from `at` begin as the echo does (start byte,
// destination, source), as far as they have arrived: the parser then takes
// them for the echo and waits for all of it.
bool BeginsAsEcho(const EchoTracker& echo, const uint8_t* bytes, int32_t at, int32_t length) {
  const int32_t n = std::min({echo.length(), 3, length - at});
  return std::equal(bytes + at, bytes + at + n, echo.data());
}

}  // namespace

int32_t BytesToDecide(const ParserState& state, const uint8_t* bytes, int32_t length) {
  const int32_t shortSize = ShortFrameSize(state.protocol);
  const EchoTracker* echo = state.echo;
  const bool echoPending = echo != nullptr && state.flags != nullptr &&
                           (state.flags->word & SF_ECHO_PENDING) != 0 && echo->length() > 0;
  // Raw bytes need not begin with a start byte: any byte may place the echo.
  if (echoPending && state.rawSendActive != 0) return 1;
  const int32_t start = FirstStart(bytes, length);
  if (start < 0) return shortSize;  // nothing begun: at least a whole short frame (or an echo)
  const int32_t have = length - start;
  const int32_t frameNeed = FrameSizeSoFar(state.protocol, bytes + start, have) - have;
  int32_t need = frameNeed;
  if (echoPending && echo->start() <= start) {
    // Where the echo is due, bytes that begin as it does are taken for it
    // once its head is in; until then they may still be a device's frame.
    if (BeginsAsEcho(*echo, bytes, start, length)) {
      const int32_t echoNeed = echo->length() - have;
      need = have >= 3 ? echoNeed : std::min(echoNeed, frameNeed);
    }
  } else if (echoPending && echo->start() < length) {
    return 1;  // the echo is due inside the frame begun here: each byte counts
  }
  return std::max(need, 1);
}

}  // namespace zeva::link
