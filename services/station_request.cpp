#include "services/station_request.h"

#include <cstring>

#include "core/int16.h"
#include "runtime/bridge.h"
#include "services/service_common.h"
#include "transact/transmitter.h"
#include "transact/request_table.h"

namespace zeva::services {
namespace {

constexpr uint8_t kRequestType = 1;

// A missing answer, or one from another station, is asked for again at once.
Retry RetryOf(Exchanged ending) {
  if (ending == Exchanged::kBusy) return Retry::kAfterPause;
  return ending == Exchanged::kNoAnswer ? Retry::kAtOnce : Retry::kNo;
}

// The answer counts when the dispatcher wrote it for this request (a nested
// request may have caught the reply flag) and it came from the station asked.
bool Accepted(RequestTable& table, uint32_t id, uint8_t station, const link::FrameHeader& header) {
  const PendingRequest* request = table.Find(id);
  return request != nullptr && request->done != 0 && (station == 0 || header.source == station);
}

}  // namespace

Exchanged ExchangeWithStation(services::ServiceState& ctx, const Exchange& exchange, link::FrameHeader* header,
                              uint8_t* answer) {
  const uint32_t replyFlag = ReplyFlagOf(exchange.kind);
  const OutgoingMessage message{
      .destination = exchange.station, .type = kRequestType, .data = exchange.message, .length = 6};
  RequestTable& table = *ctx.transact.requests;
  ScopedRequest pending(table);
  return RetryWhileBusy(
      ctx,
      [&] {
        pending.Remove();
        if (exchange.beforeAttempt && !exchange.beforeAttempt()) return Exchanged::kAborted;
        *header = link::FrameHeader{};
        std::memset(answer, 0, 6);
        if (!pending.Push(exchange.kind, exchange.station, reinterpret_cast<uint8_t*>(header), answer)) {
          return Exchanged::kTableFull;
        }
        ctx.core.flags.Clear(replyFlag);
        if (exchange.beforeSend) exchange.beforeSend();
        const TransmitResult sent = TransmitMessage(ctx, message, {.mode = exchange.mode});
        if (sent == kTxBusy) return Exchanged::kBusy;
        if (sent != kTxDone) {
          pending.Remove();
          return Exchanged::kSendFailed;
        }
        bool accepted = false;
        while (WaitForFlags(ctx, ReplyWaitMs(ctx), replyFlag) == 0) {
          accepted = Accepted(table, pending.id(), exchange.station, *header);
          if (accepted || !exchange.waitOnOtherStations) break;
          ctx.core.flags.Clear(replyFlag);
        }
        pending.Remove();
        return accepted ? Exchanged::kAnswered : Exchanged::kNoAnswer;
      },
      exchange.retryOf);
}

void ReportExchangeFailure(services::ServiceState& ctx, Exchanged ending, bool postOnly) {
  switch (ending) {
    case Exchanged::kTableFull:
      ReportDriverError(ctx, kErrTooManyRequests, kTextTooManyRequests, postOnly);
      break;
    case Exchanged::kSendFailed:
      ReportDriverError(ctx, kErrSendFailed, kTextSendFailed, postOnly);
      break;
    case Exchanged::kBusy:
      ReportDriverError(ctx, kErrChannelBusy, kTextChannelBusy, postOnly);
      break;
    case Exchanged::kAnswered:
    case Exchanged::kNoAnswer:
    case Exchanged::kAborted:
      break;
  }
}

bool AskStation(services::ServiceState& ctx, const StationRequest& request, link::FrameHeader* header,
                uint8_t* answer) {
  // Nothing goes out for an address off the bus: its low byte would ask
  // another device, or every one.
  if (!IsBusAddress(request.address)) return false;
  // The request, its echo, the acknowledgement, the answer and the
  // station's acknowledgement: one watch over the line for the exchange.
  ReaderWatch watch(ctx);
  Exchange exchange;
  exchange.kind = request.kind;
  exchange.station = Low8(request.address);
  exchange.message = request.message;
  exchange.mode = kModeNormal;
  exchange.beforeSend = request.beforeSend;
  exchange.retryOf = RetryOf;
  const Exchanged ending = ExchangeWithStation(ctx, exchange, header, answer);
  ReportExchangeFailure(ctx, ending, request.postOnly);
  return ending == Exchanged::kAnswered;
}

}  // namespace zeva::services
