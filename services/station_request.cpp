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

// Address 0 asked everyone, so whoever answers first is the answer.
bool Accepted(int32_t address, const link::FrameHeader& header) {
  const int16_t asked = Low16(address);
  return asked == 0 || header.source == asked;
}

}  // namespace

bool AskStation(DriverContext& ctx, const StationRequest& request, link::FrameHeader* header,
                uint8_t* answer) {
  const uint32_t replyFlag = ReplyFlagOf(request.kind);
  for (int32_t retries = 0;; ++retries) {
    *header = link::FrameHeader{};
    std::memset(answer, 0, 6);
    const uint32_t id = ctx.requests->Push(request.kind, Low8(request.address), 0,
                                                  reinterpret_cast<uint8_t*>(header), answer);
    if (!ctx.requests->lastPushOk()) {
      ReportDriverError(ctx, kErrTooManyRequests, kTextTooManyRequests, request.postOnly);
      return false;
    }
    ctx.flags.Clear(replyFlag);
    if (request.beforeSend) request.beforeSend();
    const int32_t sent =
        TransmitMessage(ctx, Low8(request.address), kRequestType, request.message, 6, TM_NORMAL, 0);
    if (sent == TX_DONE) {
      const bool replied = WaitForFlags(ctx, ReplyWaitMs(ctx), replyFlag) == 0;
      ctx.requests->Remove(id);
      if (replied && Accepted(request.address, *header)) return true;
      if (retries == kBusyRetries) return false;
      continue;
    }
    if (sent != TX_BUSY) {
      ReportDriverError(ctx, kErrSendFailed, kTextSendFailed, request.postOnly);
      ctx.requests->Remove(id);
      return false;
    }
    BusyPause(ctx);
    if (retries == kBusyRetries) {
      ReportDriverError(ctx, kErrChannelBusy, kTextChannelBusy, request.postOnly);
      ctx.requests->Remove(id);
      return false;
    }
    ctx.requests->Remove(id);
  }
}

}  // namespace zeva::services
