// The request-and-answer exchange that identification, the bus map, the
// remote error report and the query share: register a pending request, send
// six bytes, wait for the reply flag, accept only the station asked (any
// station for address 0), and retry busy channels (and, but for the map,
// missing answers).
#pragma once

#include <cstdint>
#include <functional>

#include "link/parser.h"
#include "services/service_common.h"
#include "services/service_state.h"
#include "transact/request_table.h"
#include "transact/transmitter.h"

namespace zeva::services {

// How one exchange ended.
enum class Exchanged : uint8_t { kAnswered, kNoAnswer, kAborted, kTableFull, kSendFailed, kBusy };

// One request-and-answer exchange, as the map and AskStation make it.
struct Exchange {
  int32_t kind = RQ_NONE;
  uint8_t station = 0;               // the address asked; 0 asks everyone
  const uint8_t* message = nullptr;  // the six bytes to send, read at each attempt
  TransmitMode mode = kModeNormal;
  // An answer from another station: false asks again (a new attempt), true
  // waits on for the station asked, a full answer time each.
  bool waitOnOtherStations = false;
  // Each attempt's first step; false ends the exchange as kAborted.
  std::function<bool()> beforeAttempt;
  std::function<void()> beforeSend;  // runs before each attempt's transmission
  // Which endings are tried again, and how (see RetryWhileBusy).
  Retry (*retryOf)(Exchanged) = nullptr;
};

// Runs the exchange: registers the request, sends the message, waits for
// the reply flag and accepts the answer only when it was written for this
// request by the station asked (any station for 0). A busy attempt's request
// stays on the table through the pause, so an answer arriving meanwhile is
// still taken for it; whatever the ending, the request is off the table when
// it returns. `header` and `answer` (six bytes) hold the answer, or zeros.
Exchanged ExchangeWithStation(services::ServiceState& ctx, const Exchange& exchange, link::FrameHeader* header,
                              uint8_t* answer);

// Reports an exchange's failure to send (driver error 2, 3 or 12); other
// endings are not reported.
void ReportExchangeFailure(services::ServiceState& ctx, Exchanged ending, bool postOnly);

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
bool AskStation(services::ServiceState& ctx, const StationRequest& request, link::FrameHeader* header,
                uint8_t* answer);

}  // namespace zeva::services
