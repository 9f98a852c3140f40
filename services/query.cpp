#include "services/query.h"

#include "core/int16.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/station_request.h"
#include "transact/request_table.h"

namespace zeva {

using namespace services;

int32_t Query(services::ServiceState& ctx, int32_t address, const uint8_t* data, int32_t quiet, int32_t tag) {
  if (IsOpen(ctx) == 0) return 0;
  StationRequest request;
  request.kind = RQ_REPLY;
  request.address = address;
  request.postOnly = Low16(quiet) != 0;
  if (data != nullptr) {
    request.message = data;
  } else {
    request.message = ctx.transact.outputBuffer;
    request.beforeSend = [&ctx] { ctx.transact.outputBuffer[kOutputBufferReserved] = 0; };
  }
  link::FrameHeader header;
  uint8_t reply[6];
  if (!AskStation(ctx, request, &header, reply)) return 0;
  Notify(ctx, &ClientCallbacks::onQueryReply, static_cast<int32_t>(header.source),
         static_cast<const uint8_t*>(reply), tag);
  return 1;
}

}  // namespace zeva
