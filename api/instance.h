// The process's single driver context, reached by the exported functions.
#pragma once

#include "api/driver_context.h"

namespace zeva::api {

// The instance the exports act on; created at library load.
DriverContext& Instance();

// Library entry: build the instance over `platform` and run the start; and
// the end. The shared library calls these from its load and unload hooks;
// tests call them to drive the exports over a test platform.
void Load(platform::Platform& platform);
void Unload();
bool Loaded();

}  // namespace zeva::api
