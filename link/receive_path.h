// The receive path around the parser: bytes read from the port are appended
// to the receive accumulator, the parser is asked for the next frame, and
// what it consumed is dropped from the front (a frame and the bytes before
// it, or an echo), until it has to wait for more bytes.
#pragma once

#include <cstdint>

#include "link/frame.h"
#include "link/echo_tracker.h"
#include "link/parser.h"
#include "link/byte_queue.h"

namespace zeva::link {

// A frame the receive path found, with the parser's record of it and its
// bytes as they were received.
struct FoundFrame {
  FrameHeader header;
  uint8_t data[6] = {0, 0, 0, 0, 0, 0};
  bool isShort = false;
  uint8_t wire[kDataFrameSize] = {};
  int32_t wireSize = 0;
};

// Appends bytes to the accumulator and tells the echo tracker its new
// length, where the next echo-checking write expects its echo.
void AppendReceived(ByteQueue& accumulator, EchoTracker* echo, const uint8_t* bytes, int32_t n);

// Drops what a parse result covers (result bytes when positive, -result when
// negative) and keeps the echo tracker in step with the accumulator.
void ConsumeParsed(ByteQueue& accumulator, EchoTracker* echo, int32_t result);

// Parses the accumulator once and drops what the parser consumed. Returns the
// parser's result; `frame` describes the frame found when it is positive.
int32_t ParseAndConsume(ParserState& state, ByteQueue& accumulator, FoundFrame* frame);

// One run of the receive loop, as the driver makes it when a data event
// arrives: each pass reads what is queued (`read` appends it to the
// accumulator and returns how many bytes, or -1 when there is nothing to
// read into) and takes one thing out of the accumulator (`takeOne`: a
// frame, or an echo dropped; it returns the parse result). The run ends
// after a pass that read nothing or took nothing, so a frame still complete
// in the accumulator waits for the next data event.
template <typename Read, typename TakeOne>
void ReceiveRun(Read&& read, TakeOne&& takeOne) {
  for (;;) {
    const int32_t n = read();
    if (n < 0) return;
    if (takeOne() == 0 || n == 0) return;
  }
}

// The receive loop over bytes at hand, for tests and benchmarks: the bytes
// arrive in reads of at most `chunk`, with one run per data event until a
// run takes nothing; onFrame(const FoundFrame&) is called for every frame.
// Returns the number of frames.
template <typename OnFrame>
int32_t ReceiveBytes(ParserState& state, ByteQueue& accumulator, const uint8_t* bytes, int32_t n,
                     OnFrame&& onFrame, int32_t chunk = 255) {
  int32_t at = 0;
  int32_t frames = 0;
  for (bool took = true; took;) {
    took = false;
    ReceiveRun(
        [&] {
          const int32_t m = n - at < chunk ? n - at : chunk;
          if (m > 0) AppendReceived(accumulator, state.echo, bytes + at, m);
          at += m;
          return m;
        },
        [&] {
          FoundFrame frame;
          const int32_t result = ParseAndConsume(state, accumulator, &frame);
          took = took || result != 0;
          if (result > 0) {
            ++frames;
            onFrame(frame);
          }
          return result;
        });
  }
  return frames;
}

}  // namespace zeva::link
