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

enum class Exchange { kAnswered, kNoAnswer, kTableFull, kSendFailed, kBusy };

// A missing answer, or one from another station, is asked for again at once.
Retry RetryOf(Exchange exchange) {
  if (exchange == Exchange::kBusy) return Retry::kAfterPause;
  return exchange == Exchange::kNoAnswer ? Retry::kAtOnce : Retry::kNo;
}

// Address 0 asked everyone, so whoever answers first is the answer.
bool Accepted(int32_t address, const link::FrameHeader& header) {
  const int16_t asked = Low16(address);
  return asked == 0 || header.source == asked;
}

}  // namespace

bool AskStation(DriverContext& ctx, const StationRequest& request, link::FrameHeader* header,
                uint8_t* answer) {
  // Nothing goes out for an address off the bus: its low byte would ask
  // another device, or every one.
  if (!IsBusAddress(request.address)) return false;
  const uint32_t replyFlag = ReplyFlagOf(request.kind);
  const OutgoingMessage message{
      .destination = Low8(request.address), .type = kRequestType, .data = request.message, .length = 6};
  // The request, its echo, the acknowledgement, the answer and the
  // station's acknowledgement: one watch over the line for the exchange.
  ReaderWatch watch(ctx);
  // A busy attempt's request stays on the table through the pause, so an
  // answer arriving meanwhile is still taken for it.
  ScopedRequest pending(*ctx.requests);
  const Exchange exchange = RetryWhileBusy(
      ctx,
      [&] {
        pending.Remove();
        *header = link::FrameHeader{};
        std::memset(answer, 0, 6);
        if (!pending.Push(request.kind, Low8(request.address), reinterpret_cast<uint8_t*>(header), answer)) {
          return Exchange::kTableFull;
        }
        ctx.flags.Clear(replyFlag);
        if (request.beforeSend) request.beforeSend();
        const TransmitResult sent = TransmitMessage(ctx, message, {.mode = kModeNormal});
        if (sent == kTxBusy) return Exchange::kBusy;
        if (sent != kTxDone) return Exchange::kSendFailed;
        const bool replied = WaitForFlags(ctx, ReplyWaitMs(ctx), replyFlag) == 0;
        pending.Remove();
        return replied && Accepted(request.address, *header) ? Exchange::kAnswered : Exchange::kNoAnswer;
      },
      RetryOf);
  switch (exchange) {
    case Exchange::kAnswered: return true;
    case Exchange::kNoAnswer: return false;  // not reported
    case Exchange::kTableFull:
      ReportDriverError(ctx, kErrTooManyRequests, kTextTooManyRequests, request.postOnly);
      return false;
    case Exchange::kSendFailed:
      ReportDriverError(ctx, kErrSendFailed, kTextSendFailed, request.postOnly);
      return false;
    case Exchange::kBusy:
      ReportDriverError(ctx, kErrChannelBusy, kTextChannelBusy, request.postOnly);
      return false;
  }
  return false;
}

}  // namespace zeva::services
