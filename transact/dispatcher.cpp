#include "transact/dispatcher.h"

#include <cstring>

#include "core/int16.h"
#include "link/frame.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "transact/transmitter.h"

namespace zeva {
namespace {

constexpr uint8_t kDefaultResponseCode = 242;  // awaited when no code is set

// A frame with this station's own source is its own write read back (an
// echo that was not recognised as one, or bytes the line joined to it): it
// is not acknowledged, answers no request and gets no automatic reply, which
// would go to the station itself and come back as a frame again.
bool FromThisStation(const transact::TransactState& ctx, const link::FrameHeader& header) {
  return header.source == Low8(ctx.core.settings.localAddress);
}

bool WantsAck(const transact::TransactState& ctx, const link::FrameHeader& header) {
  return !FromThisStation(ctx, header) && (header.typeAndFlags & link::kNoAckWanted) != link::kNoAckWanted && header.destination != 0 &&
         ctx.core.settings.adapterId == 0 && ctx.core.switches.noAck == 0 &&
         header.destination == ctx.core.settings.localAddress;
}

void Acknowledge(transact::TransactState& ctx, const link::FrameHeader& header) {
  const link::ShortFrame ack =
      link::EncodeAck(ctx.core.settings.protocol, header.source, header.destination);
  WriteBytes(ctx, ack.bytes.data(), ack.size, WaitFor::kEcho);
}

// Type-0 frames are answered with their own data as an unacknowledged
// type-2 message; while the receive loop is marked, the transmitter refuses.
void SendAutomaticReply(transact::TransactState& ctx, const ReceivedFrame& frame) {
  TransmitMessage(ctx, {.destination = frame.header.source, .type = 2, .data = frame.data, .length = frame.header.count},
                  {.mode = kModeUnacked});
}

void FillRequest(transact::TransactState& ctx, PendingRequest& live, int32_t kind, const ReceivedFrame& frame) {
  live.done = 1;
  if (live.headerOut != nullptr) std::memcpy(live.headerOut, &frame.header, sizeof frame.header);
  if (live.dataOut != nullptr) std::memcpy(live.dataOut, frame.data, sizeof frame.data);
  ctx.core.flags.Set(ReplyFlagOf(kind));
  if (!ctx.core.flags.AllSet(SF_RESPONSE_WAIT)) return;
  const uint8_t expected =
      ctx.awaitedResponseCode != 0 ? ctx.awaitedResponseCode : kDefaultResponseCode;
  if (frame.data[5] == expected) {
    ctx.core.flags.Set(SF_RESPONSE_MATCHED);
    ctx.core.flags.Clear(SF_RESPONSE_WAIT);
  }
}

// Only the newest request is considered. A request removed after the
// snapshot was taken is reported to the client, and the frame is offered to
// whatever is newest now. Returns true when the frame completed a request.
bool CompleteRequest(transact::TransactState& ctx, const ReceivedFrame& frame) {
  if (!ctx.requests) return false;
  if (FromThisStation(ctx, frame.header)) return false;
  PendingRequest candidate = frame.request;
  while (candidate.kind != RQ_NONE) {
    if (candidate.peer != frame.header.source && candidate.anyPeer == 0) return false;
    if (PendingRequest* live = ctx.requests->Find(candidate.id)) {
      FillRequest(ctx, *live, candidate.kind, frame);
      return true;
    }
    PostDriverError(ctx, kErrRequestVanished);
    const PendingRequest* newest = ctx.requests->Newest();
    if (newest == nullptr) return false;
    candidate = *newest;
  }
  return false;
}

}  // namespace

int32_t EventCodeOf(uint8_t typeAndFlags) {
  switch (typeAndFlags & link::kTypeMask) {
    case 0: return 4;
    case 1: return 2;
    case 2: return (typeAndFlags & link::kAlternationBit) != 0 ? 1 : 7;
    case 3: return 6;
    case 4: return 5;
    default: return 0;
  }
}

void DispatchFrame(transact::TransactState& ctx, const ReceivedFrame& frame) {
  const link::FrameHeader& header = frame.header;
  if (WantsAck(ctx, header)) Acknowledge(ctx, header);
  if (link::ControlType(header.typeAndFlags) == 0 && ctx.core.switches.autoReply != 0 && !FromThisStation(ctx, header)) {
    SendAutomaticReply(ctx, frame);
    return;
  }
  if (CompleteRequest(ctx, frame)) return;
  Notify(ctx, &ClientCallbacks::onDataReceived, static_cast<int32_t>(header.source),
         static_cast<int32_t>(header.destination), static_cast<int32_t>(header.count),
         static_cast<int32_t>(frame.data[5]), static_cast<const uint8_t*>(frame.data),
         EventCodeOf(header.typeAndFlags));
}

}  // namespace zeva
