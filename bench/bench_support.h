// What the benchmarks share: CPU time read from the kernel, and the driver on
// the real platform talking to a zevasim of its own on a pseudo-terminal.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/config.h"
#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "tests/platform/temp_prefix.h"
#include "tests/support/zevasim_process.h"

namespace zeva::bench {

// CPU seconds used so far: RUSAGE_THREAD for the calling thread, RUSAGE_SELF
// for the whole process.
inline double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline LRESULT IgnoreMessages(HWND, unsigned, WPARAM, LPARAM) { return 0; }

// A temporary prefix whose dosdevices/com1 names the simulator's line.
struct Prefix : testing::TempPrefix {
  Prefix() { std::filesystem::create_directories(Path("dosdevices")); }
  std::string Com1() const { return Path("dosdevices/com1"); }
};

#ifdef ZEVASIM_PATH
// zevasim started with `args` (besides --link) and the driver on the real
// platform with the port open on it at `bps`. `setup` runs on the context
// before the port opens (callbacks, switches). ready() is false when either
// failed; the benchmark then reports an error instead of a figure.
// `clientProc` is the client window's own procedure, which sees every event
// message after the driver.
struct ZevasimDriver {
  Prefix prefix;
  test::ZevasimProcess sim;
  DriverContext ctx{platform::RealPlatform()};
  HWND window = nullptr;
  bool open = false;

  template <typename Setup>
  ZevasimDriver(std::vector<std::string> args, int32_t bps, Setup setup, WNDPROC clientProc = &IgnoreMessages)
      : sim(ZEVASIM_PATH, prefix.Com1(), std::move(args)) {
    ProcessAttach(ctx);
    if (bps > 0) ctx.core.settings.bps = bps;
    setup(ctx);
    window = CreateMessageWindow(clientProc);
    open = sim.ready() && OpenCOM(ctx, window) == 1;
  }
  ZevasimDriver(std::vector<std::string> args, int32_t bps)
      : ZevasimDriver(std::move(args), bps, [](DriverContext&) {}) {}
  ~ZevasimDriver() {
    ProcessDetach(ctx);
    DestroyWindow(window);
  }
  ZevasimDriver(const ZevasimDriver&) = delete;
  ZevasimDriver& operator=(const ZevasimDriver&) = delete;

  bool ready() const { return open; }
};
#endif

}  // namespace zeva::bench
