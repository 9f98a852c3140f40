// The receive side: the loop that reads, parses and dispatches what arrived.
#pragma once

#include "core/driver_context.h"

namespace zeva {

// Runs when EVT_DATA_READY reaches the bridge's window procedure.
void RunReceiveLoop(DriverContext& ctx);

}  // namespace zeva
