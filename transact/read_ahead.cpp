#include "transact/read_ahead.h"

#include "link/read_ahead.h"
#include "runtime/port.h"
#include "transact/receive.h"

namespace zeva {

void AdviseReadAhead(transact::TransactState& ctx, const link::ByteQueue& accumulator) {
  if (IsOpen(ctx) == 0) return;
  const link::ParserState state = ParserStateOf(ctx);
  ExpectBytes(ctx, link::BytesToDecide(state, accumulator.data(), accumulator.length()));
}

}  // namespace zeva
