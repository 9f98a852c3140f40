// The receive side: the loop that reads, parses and dispatches what arrived.
#pragma once

#include "transact/transact_state.h"
#include "link/parser.h"

namespace zeva {

// What the parser reads and changes of the driver's state.
link::ParserState ParserStateOf(transact::TransactState& ctx);

// Runs when EVT_DATA_READY reaches the bridge's window procedure.
void RunReceiveLoop(transact::TransactState& ctx);

}  // namespace zeva
