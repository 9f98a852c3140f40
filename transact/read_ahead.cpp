#include "transact/read_ahead.h"

#include "link/read_ahead.h"
#include "transact/receive.h"

namespace zeva {

void AdviseReadAhead(DriverContext& ctx, const link::ByteQueue& accumulator) {
  platform::SerialPort* port = ctx.portContext ? ctx.portContext->port.load() : nullptr;
  if (port == nullptr) return;
  const link::ParserState state = ParserStateOf(ctx);
  port->ExpectBytes(link::BytesToDecide(state, accumulator.data(), accumulator.length()));
}

}  // namespace zeva
