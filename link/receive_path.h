// The receive path around the parser: bytes read from the port are appended
// to the receive accumulator, the parser is asked for the next frame, and
// what it consumed is dropped from the front (a frame and the bytes before
// it, or an echo), until it has to wait for more bytes.
#pragma once

#include <cstdint>

#include "link/frame.h"
#include "link/parser.h"
#include "transact/link_buffer.h"

namespace zeva::link {

// A frame the receive path found, with the parser's record of it.
struct FoundFrame {
  FrameHeader header;
  uint8_t data[6] = {0, 0, 0, 0, 0, 0};
  bool isShort = false;
};

// Appends bytes to the accumulator and notes its new length in the echo
// buffer's rxLength, where the next echo-checking write expects its echo.
void AppendReceived(LinkBuffer& accumulator, LinkBuffer* echo, const uint8_t* bytes, int32_t n);

// Drops what a parse result covers (result bytes when positive, -result when
// negative) and keeps the echo buffer's marks in step with the accumulator:
// rxLength is its new length, and an expected echo position moves down with
// the bytes dropped before it.
void ConsumeParsed(LinkBuffer& accumulator, LinkBuffer* echo, int32_t result);

// Parses the accumulator once and drops what the parser consumed. Returns the
// parser's result; header and data are filled when it is positive.
int32_t ParseAndConsume(ParserState& state, LinkBuffer& accumulator, FrameHeader* header,
                        uint8_t data[6]);

// Appends the bytes, then parses and drops until the parser waits, calling
// onFrame(const FoundFrame&) for every frame found. Returns the
// number of frames.
template <typename OnFrame>
int32_t ReceiveBytes(ParserState& state, LinkBuffer& accumulator, const uint8_t* bytes, int32_t n,
                     OnFrame&& onFrame) {
  AppendReceived(accumulator, state.echo, bytes, n);
  int32_t frames = 0;
  for (;;) {
    FoundFrame frame;
    const int32_t result = ParseAndConsume(state, accumulator, &frame.header, frame.data);
    if (result == 0) return frames;
    if (result < 0) continue;
    frame.isShort = IsShortControl(frame.header.control5);
    ++frames;
    onFrame(frame);
  }
}

}  // namespace zeva::link
