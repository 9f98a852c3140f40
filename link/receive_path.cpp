#include "link/receive_path.h"

#include <cstring>

namespace zeva::link {

void AppendReceived(ByteQueue& accumulator, EchoTracker* echo, const uint8_t* bytes, int32_t n) {
  accumulator.Append(bytes, n);
  if (echo != nullptr) echo->Appended(accumulator.length());
}

void ConsumeParsed(ByteQueue& accumulator, EchoTracker* echo, int32_t result) {
  if (result == 0) return;
  const int32_t n = result > 0 ? result : -result;
  accumulator.ConsumeFront(n);
  if (echo != nullptr) echo->Consumed(n, accumulator.length());
}

int32_t ParseAndConsume(ParserState& state, ByteQueue& accumulator, FoundFrame* frame) {
  if (accumulator.length() == 0) return 0;
  const int32_t result = ParseFrame(state, accumulator.data(), accumulator.length(), &frame->header, frame->data);
  if (result > 0) {
    frame->isShort = IsShortControl(frame->header.typeAndFlags);
    const int32_t size = frame->isShort ? ShortFrameSize(state.protocol) : kDataFrameSize;
    frame->wireSize = size < result ? size : result;
    std::memcpy(frame->wire, accumulator.data() + result - frame->wireSize, static_cast<size_t>(frame->wireSize));
  }
  ConsumeParsed(accumulator, state.echo, result);
  return result;
}

}  // namespace zeva::link
