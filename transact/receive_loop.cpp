#include <algorithm>

#include "link/frame.h"
#include "link/parser.h"
#include "link/receive_path.h"
#include "serial/port.h"
#include "transact/dispatcher.h"
#include "transact/read_ahead.h"
#include "transact/receive.h"

namespace zeva {
namespace {

constexpr int32_t kReadChunk = 255;

// Frames addressed elsewhere are only seen in spy mode; short frames have
// done their work in the parser and never go further.
bool ConcernsStation(const DriverContext& ctx, const link::FrameHeader& header) {
  if (link::IsShortControl(header.control5)) return false;
  if (ctx.sw.spy != 0) return true;
  return header.destination == 0 || header.destination == ctx.settings.localAddress;
}

void TraceIncoming(DriverContext& ctx, const LinkBuffer& accumulator, int32_t frameEnd,
                   const link::FrameHeader& header) {
  if (!ctx.trace) return;
  const int32_t size = link::IsShortControl(header.control5)
                           ? link::ShortFrameSize(ctx.settings.protocol)
                           : link::kDataFrameSize;
  const int32_t start = std::max(frameEnd - size, 0);
  ctx.trace(1, accumulator.data() + start, frameEnd - start);
}

// One parse of the accumulator. Returns the parser's result; a frame that
// concerns this station is dispatched after it has been dropped.
int32_t ParseOnce(DriverContext& ctx, LinkBuffer& accumulator) {
  if (accumulator.length() == 0) return 0;
  // Fresh each pass: a raw send started from a callback changes how the
  // parser positions on the echo.
  link::ParserState state = link::ParserStateOf(ctx);
  ReceivedFrame frame;
  const int32_t result =
      link::ParseFrame(state, accumulator.data(), accumulator.length(), &frame.header, frame.data);
  if (result > 0) TraceIncoming(ctx, accumulator, result, frame.header);
  link::ConsumeParsed(accumulator, ctx.echo.get(), result);
  // Before the dispatch, which may write and wait for the echo of its write.
  AdviseReadAhead(ctx, accumulator);
  if (result <= 0) return result;
  if (ctx.requests) ctx.requests->SnapshotNewestRequest(&frame.request);
  if (ConcernsStation(ctx, frame.header)) DispatchFrame(ctx, frame);
  return result;
}

}  // namespace

// One frame per pass; the loop ends after the first pass that read nothing,
// so frames still complete in the accumulator wait for the next data event.
void RunReceiveLoop(DriverContext& ctx) {
  ctx.receiveActive = 2;
  for (;;) {
    uint8_t buffer[kReadChunk];
    const int32_t n = ReadBytes(ctx, buffer, kReadChunk);
    LinkBuffer* accumulator = ctx.portContext ? ctx.portContext->rx.get() : nullptr;
    if (accumulator == nullptr) break;
    if (n > 0) link::AppendReceived(*accumulator, ctx.echo.get(), buffer, n);
    if (ParseOnce(ctx, *accumulator) == 0 || n == 0) break;
  }
  // Not restored to an earlier value: a run nested inside a dispatch leaves
  // the outer run unmarked, which lets its automatic echo go out.
  ctx.receiveActive = 0;
}

}  // namespace zeva
