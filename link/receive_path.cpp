#include "link/receive_path.h"

namespace zeva::link {

void AppendReceived(LinkBuffer& accumulator, LinkBuffer* echo, const uint8_t* bytes, int32_t n) {
  accumulator.AppendBytes(bytes, n);
  if (echo != nullptr) echo->rxLength = accumulator.length();
}

void ConsumeParsed(LinkBuffer& accumulator, LinkBuffer* echo, int32_t result) {
  if (result == 0) return;
  const int32_t n = result > 0 ? result : -result;
  accumulator.ConsumeFront(n);
  if (echo == nullptr) return;
  echo->rxLength = accumulator.length();
  // An echo still expected lies after what was dropped; without the move it
  // would be looked for too far on and the echo parsed as a frame.
  if (echo->echoStart > 0) echo->echoStart = echo->echoStart > n ? echo->echoStart - n : 0;
}

int32_t ParseAndConsume(ParserState& state, LinkBuffer& accumulator, FrameHeader* header,
                        uint8_t data[6]) {
  if (accumulator.length() == 0) return 0;
  const int32_t result = ParseFrame(state, accumulator.data(), accumulator.length(), header, data);
  ConsumeParsed(accumulator, state.echo, result);
  return result;
}

}  // namespace zeva::link
