#include "api/instance.h"
#include "api/lifecycle.h"

namespace zeva::api {
namespace {

// A plain pointer on purpose: the unload hook runs during exit, and a static
// object with a destructor of its own might already be gone by then.
DriverContext* g_instance = nullptr;

}  // namespace

// A client linked statically never runs the load hook: load on first use.
DriverContext& Instance() {
  if (g_instance == nullptr) Load(platform::RealPlatform());
  return *g_instance;
}

bool Loaded() { return g_instance != nullptr; }

void Load(platform::Platform& platform) {
  Unload();
  g_instance = new DriverContext(platform);
  ProcessAttach(*g_instance);
}

void Unload() {
  if (g_instance == nullptr) return;
  ProcessDetach(*g_instance);
  delete g_instance;
  g_instance = nullptr;
}

}  // namespace zeva::api
