// A parser with its own flags, last destination and echo buffer, for the
// link tests.
#pragma once

#include <cstdint>

#include "link/echo_tracker.h"
#include "link/frame.h"
#include "link/parser.h"
#include "link/status_flags.h"
#include "support/frames.h"

namespace zeva::link::test {

using zeva::test::AckBytes;
using zeva::test::Bytes;
using zeva::test::Concat;
using zeva::test::DataFrameBytes;
using zeva::test::Head;
using zeva::test::ToBytes;

struct ParserRig {
  StatusFlags flags;
  uint8_t lastDestination = 0;
  EchoTracker echo{flags};
  ParserState state;
  FrameHeader header;
  uint8_t data[6] = {0, 0, 0, 0, 0, 0};

  explicit ParserRig(int32_t protocol) {
    state.flags = &flags;
    state.lastDestination = &lastDestination;
    state.echo = &echo;
    state.protocol = protocol;
  }
  ParserRig(const ParserRig&) = delete;
  ParserRig& operator=(const ParserRig&) = delete;

  // As an echo-checking write leaves things when the accumulator held
  // `echoStart` bytes: echo pending there, bytes recorded.
  void AwaitEcho(const Bytes& written, int32_t echoStart) {
    echo.Appended(echoStart);
    echo.Expect(written.data(), static_cast<int32_t>(written.size()));
  }

  int32_t Parse(const Bytes& bytes) {
    return ParseFrame(state, bytes.data(), static_cast<int32_t>(bytes.size()), &header, data);
  }

  Bytes EchoBytes() const {
    return echo.length() == 0 ? Bytes{} : Bytes(echo.data(), echo.data() + echo.length());
  }
};

}  // namespace zeva::link::test
