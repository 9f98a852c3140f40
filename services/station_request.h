// The request-and-answer exchange that identification, the remote error
// report and the query share: register a pending request, send six bytes,
// wait for the reply flag, accept only the station asked (any station for
// address 0), and retry busy channels and missing answers.
#pragma once

#include <cstdint>
#include <functional>

#include "core/driver_context.h"
#include "link/parser.h"
#include "transact/request_table.h"

namespace zeva::services {

struct StationRequest {
  int32_t kind = RQ_NONE;           // RQ_IDENTIFY, RQ_REMOTE_ERROR or RQ_REPLY
  int32_t address = 0;              // low 8 bits travel, low 16 bits are compared
  const uint8_t* message = nullptr;  // the six bytes to send, read at each attempt
  bool postOnly = false;            // failures are posted, never shown in a box
  std::function<void()> beforeSend;  // runs before each attempt's transmission
};

// Runs the exchange; the port must be open. Returns true when an accepted
// answer is in `header` and `answer` (six bytes). Failures to send are
// reported (driver error 2, 3 or 12); a missing answer after four requests is
// not. On failure `answer` holds zeros or the bytes of an answer that was not
// accepted.
bool AskStation(DriverContext& ctx, const StationRequest& request, link::FrameHeader* header,
                uint8_t* answer);

}  // namespace zeva::services
