// The composition root: builds the driver context with every layer's parts
// and wires them together, and takes it apart again.
#pragma once

#include "api/driver_context.h"

namespace zeva {

// Library start and end: build the context's objects and load the settings;
// close the port, give the client window back and free everything.
void ProcessAttach(DriverContext& ctx);
void ProcessDetach(DriverContext& ctx);

}  // namespace zeva
