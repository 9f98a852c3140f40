#include <cstring>

#include "link/frame.h"
#include "link/parser.h"
#include "link/receive_path.h"
#include "runtime/port.h"
#include "transact/dispatcher.h"
#include "transact/read_ahead.h"
#include "transact/receive.h"

namespace zeva {
namespace {

constexpr int32_t kReadChunk = 255;

// Frames addressed elsewhere are only seen in spy mode; short frames have
// done their work in the parser and never go further.
bool ConcernsStation(const transact::TransactState& ctx, const link::FrameHeader& header) {
  if (link::IsShortControl(header.typeAndFlags)) return false;
  if (ctx.core.switches.spy != 0) return true;
  return header.destination == 0 || header.destination == ctx.core.settings.localAddress;
}

// One frame out of the accumulator; a frame that concerns this station is
// dispatched after it has been dropped.
int32_t TakeOne(transact::TransactState& ctx, link::ByteQueue& accumulator) {
  // Fresh each pass: a raw send started from a callback changes how the
  // parser positions on the echo.
  link::ParserState state = ParserStateOf(ctx);
  link::FoundFrame found;
  const int32_t result = link::ParseAndConsume(state, accumulator, &found);
  // Before the dispatch, which may write and wait for the echo of its write.
  AdviseReadAhead(ctx, accumulator);
  if (result <= 0) return result;
  if (ctx.runtime.trace) ctx.runtime.trace(1, found.wire, found.wireSize);
  ReceivedFrame frame;
  frame.header = found.header;
  std::memcpy(frame.data, found.data, sizeof frame.data);
  if (ctx.requests) ctx.requests->SnapshotNewest(&frame.request);
  if (ConcernsStation(ctx, frame.header)) DispatchFrame(ctx, frame);
  return result;
}

}  // namespace

link::ParserState ParserStateOf(transact::TransactState& ctx) {
  link::ParserState state;
  state.flags = &ctx.core.flags;
  state.lastDestination = &ctx.lastDestination;
  state.echo = ctx.runtime.echo.get();
  state.protocol = ctx.core.settings.protocol;
  state.rawSendActive = ctx.rawSendActive;
  return state;
}

void RunReceiveLoop(transact::TransactState& ctx) {
  ctx.receiveLoop = ReceiveLoop::kRunning;
  link::ReceiveRun(
      [&ctx] {
        uint8_t buffer[kReadChunk];
        const int32_t n = ReadBytes(ctx, buffer, kReadChunk);
        link::ByteQueue* accumulator = ReceiveAccumulator(ctx);
        if (accumulator == nullptr) return -1;
        if (n > 0) link::AppendReceived(*accumulator, ctx.runtime.echo.get(), buffer, n);
        return n;
      },
      [&ctx] {
        link::ByteQueue* accumulator = ReceiveAccumulator(ctx);
        return accumulator == nullptr ? 0 : TakeOne(ctx, *accumulator);
      });
  // Not restored to an earlier value: a run nested inside a dispatch leaves
  // the outer run unmarked, which lets its automatic reply go out.
  ctx.receiveLoop = ReceiveLoop::kIdle;
}

}  // namespace zeva
