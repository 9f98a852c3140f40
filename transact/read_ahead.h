// Tells the port how many bytes the receive path still needs, so that it can
// hold the data event back until they are in (see SerialPort::ExpectBytes).
#pragma once

#include "transact/transact_state.h"
#include "link/byte_queue.h"

namespace zeva {

// After a parse of the receive accumulator: what the parser is waiting for.
void AdviseReadAhead(transact::TransactState& ctx, const link::ByteQueue& accumulator);

}  // namespace zeva
