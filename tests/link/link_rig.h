// A parser with its own flags, last destination and echo buffer, and byte
// builders for the link tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "link/status_flags.h"
#include "link/echo_tracker.h"
#include "link/frame.h"
#include "link/parser.h"

namespace zeva::link::test {

using Bytes = std::vector<uint8_t>;

inline Bytes DataBytes(int32_t protocol, uint8_t destination, uint8_t source, uint8_t control,
                       std::initializer_list<uint8_t> data) {
  uint8_t d[6] = {0, 0, 0, 0, 0, 0};
  int i = 0;
  for (uint8_t b : data) d[i++] = b;
  const DataFrame f = EncodeDataFrame(protocol, destination, source, control, d);
  return Bytes(f.begin(), f.end());
}

inline Bytes ShortBytes(const ShortFrame& f) {
  return Bytes(f.bytes.begin(), f.bytes.begin() + f.size);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

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
