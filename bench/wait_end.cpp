// When a timed-out wait ends: WaitForFlags with an empty mask (a plain
// delay) on the real platform, for delays from 0 to 100 ms, each started at
// a random point inside a millisecond. The wait may end once the tick count
// has passed start + T; "late" is how long after that instant it ended,
// "over T" how long past T it lasted in all, and the CPU the waiting
// thread used. Prints a Markdown table: every
// delay's median and worst, never the best.
//
//   wait_end [SAMPLES]     (default 15 per delay)
//   wait_end --only N T    N delays of T ms back to back and nothing else,
//                          for the CPU time a system counts per process
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "runtime/wait.h"
#ifdef _WIN32
#include "platform/win32/clock.h"
#else
#include <time.h>

#include "platform/posix/clock.h"
#endif

namespace {

// The clock whose whole milliseconds the platform's tick count is.
int64_t NowUs() {
#ifdef _WIN32
  return zeva::win32::NowUs();
#else
  return zeva::posix::SteadyNowUs();
#endif
}

// The calling thread's CPU time so far, in microseconds; negative where the
// system counts it too coarsely to tell (Wine counts it in 10-ms steps).
double ThreadCpuUs() {
#ifdef _WIN32
  return -1;
#else
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  return static_cast<double>(cpu.tv_sec) * 1e6 + static_cast<double>(cpu.tv_nsec) / 1e3;
#endif
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Worst(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--only") {
    zeva::DriverContext ctx(zeva::platform::RealPlatform());
    const int n = std::atoi(argv[2]);
    const auto t = static_cast<uint32_t>(std::atoi(argv[3]));
    for (int i = 0; i < n; ++i) zeva::WaitForFlags(ctx, t, 0);
    return 0;
  }
  const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  zeva::DriverContext ctx(zeva::platform::RealPlatform());
  zeva::platform::Platform& p = ctx.core.platform;
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> offsetUs(0, 800);
  std::vector<double> allLate;
  int foreignTicks = 0;
  std::printf("| delay T (ms) | late after the tick passed S + T: median | worst | over T: median | worst | "
              "CPU per wait (µs) |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (uint32_t t : {0u, 1u, 2u, 3u, 5u, 10u, 20u, 40u, 50u, 80u, 100u}) {
    std::vector<double> late;
    std::vector<double> over;
    double cpuUs = 0;
    for (int i = 0; i < samples; ++i) {
      // Just after the tick count turns, then a random part of the
      // millisecond: the wait reads the same start tick as this loop.
      const uint32_t from = p.TickCount();
      while (p.TickCount() == from) {
      }
      const int64_t spinTo = NowUs() + offsetUs(random);
      while (NowUs() < spinTo) {
      }
      const uint32_t start = p.TickCount();
      const int64_t startUs = NowUs();
      const double cpu0 = ThreadCpuUs();
      zeva::WaitForFlags(ctx, t, 0);
      const int64_t endUs = NowUs();
      cpuUs += ThreadCpuUs() - cpu0;
      // The tick count is the clock's whole milliseconds: it passes S + T
      // when it reaches S + T + 1.
      if (start != static_cast<uint32_t>(startUs / 1000)) ++foreignTicks;
      const int64_t allowedUs = (startUs / 1000 + static_cast<int64_t>(t) + 1) * 1000;
      late.push_back(static_cast<double>(endUs - allowedUs) / 1000.0);
      over.push_back(static_cast<double>(endUs - startUs) / 1000.0 - t);
    }
    allLate.insert(allLate.end(), late.begin(), late.end());
    char cpu[32] = "—";
    if (ThreadCpuUs() >= 0) std::snprintf(cpu, sizeof cpu, "%.0f", cpuUs / samples);
    std::printf("| %u | %.3f | %.3f | %.3f | %.3f | %s |\n", t, Median(late), Worst(late), Median(over), Worst(over), cpu);
  }
  std::printf("| all | %.3f | %.3f | | | |\n", Median(allLate), Worst(allLate));
  // A tick count from another clock (the system tick) makes "late" meaningless.
  if (foreignTicks > 0) std::printf("\n%d waits began on a tick count that is not this clock's.\n", foreignTicks);
  return 0;
}
