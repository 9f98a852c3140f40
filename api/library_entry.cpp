// The shared library's entry: attach at load, detach at unload. (On Win32 the
// same two calls come from DllMain.)
#include "api/instance.h"

namespace {

__attribute__((constructor)) void ZevaLibraryLoad() { zeva::api::Load(zeva::platform::RealPlatform()); }

__attribute__((destructor)) void ZevaLibraryUnload() { zeva::api::Unload(); }

}  // namespace
