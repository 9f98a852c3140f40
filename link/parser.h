// ParseFrame: finds the next complete, valid frame in the receive accumulator
// and does the link bookkeeping that senders wait for (echo recognition,
// acknowledgements of the last destination, link-reset short frames).
#pragma once

#include <cstdint>

#include "link/status_flags.h"
#include "link/echo_tracker.h"

namespace zeva::link {

// The 8-byte record of a parsed frame, in its wire order.
struct FrameHeader {
  uint8_t source = 0;
  uint8_t destination = 0;
  uint8_t typeAndFlags = 0;  // control & 0x1F: the type, the alternation and no-ack bits
  uint8_t unused3 = 0;       // the parser leaves the unused bytes as they are
  uint8_t receivedChecksum = 0;
  uint8_t computedChecksum = 0;
  uint8_t count = 0;  // control >> 5
  uint8_t unused7 = 0;
};
static_assert(sizeof(FrameHeader) == 8, "FrameHeader is 8 bytes on the wire of requests");

// What the parser reads and changes of the driver's state.
struct ParserState {
  StatusFlags* flags = nullptr;
  uint8_t* lastDestination = nullptr;
  EchoTracker* echo = nullptr;  // the station's own writes coming back; may be null
  int32_t protocol = 2;
  uint8_t rawSendActive = 0;
};

// Result: > 0 a valid frame ends there (drop that many bytes, dispatch it);
// < 0 an echo was dropped and nothing follows (drop -result bytes);
// 0 wait for more bytes. `data` receives six bytes for data frames.
int32_t ParseFrame(ParserState& state, const uint8_t* bytes, int32_t length, FrameHeader* header,
                   uint8_t data[6]);

}  // namespace zeva::link
