// The receive side: the loop that reads, parses and dispatches what arrived.
#pragma once

#include "core/driver_context.h"
#include "link/parser.h"

namespace zeva {

// What the parser reads and changes of the driver's state.
link::ParserState ParserStateOf(DriverContext& ctx);

// Runs when EVT_DATA_READY reaches the bridge's window procedure.
void RunReceiveLoop(DriverContext& ctx);

}  // namespace zeva
