// The shared library's entry: attach at load, detach at unload. (On Win32 the
// same two calls come from DllMain.)
// Guarded like the exports: an exception here would end the loading process.
#include "api/instance.h"
#include "core/guard.h"

namespace {

__attribute__((constructor)) void ZevaLibraryLoad() {
  zeva::Guarded([] { zeva::api::Load(zeva::platform::RealPlatform()); });
}

__attribute__((destructor)) void ZevaLibraryUnload() {
  zeva::Guarded([] { zeva::api::Unload(); });
}

}  // namespace
