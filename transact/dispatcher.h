// The receive dispatcher: what happens to a data frame that concerns this
// station (acknowledgement, automatic reply, request completion, delivery to
// the client).
#pragma once

#include <cstdint>

#include "transact/transact_state.h"
#include "link/parser.h"
#include "transact/request_table.h"

namespace zeva {

// What the receive loop hands on for one frame.
struct ReceivedFrame {
  link::FrameHeader header;
  uint8_t data[6] = {0, 0, 0, 0, 0, 0};  // positions past count are 0
  // The newest pending request as it was right after the frame was dropped
  // from the accumulator; kind 0 when none was pending.
  PendingRequest request;
};

// Event codes passed to OnDataReceived, by message type.
int32_t EventCodeOf(uint8_t typeAndFlags);

void DispatchFrame(transact::TransactState& ctx, const ReceivedFrame& frame);

}  // namespace zeva
