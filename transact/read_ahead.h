// Tells the port how many bytes the receive path still needs, so that it can
// hold the data event back until they are in (see SerialPort::ExpectBytes).
#pragma once

#include "core/driver_context.h"
#include "link/byte_queue.h"

namespace zeva {

// After a parse of the receive accumulator: what the parser is waiting for.
void AdviseReadAhead(DriverContext& ctx, const link::ByteQueue& accumulator);

}  // namespace zeva
