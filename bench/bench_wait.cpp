// What a wait costs: CPU consumed while WaitForFlags waits on an idle queue,
// and how fast it reacts to a message posted from another thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "api/driver_context.h"
#include "runtime/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU seconds per wall second during a 2-second wait with nothing to do.
void BM_IdleWaitCpuShare(benchmark::State& state) {
  zeva::DriverContext ctx(zeva::platform::RealPlatform());
  double share = 0;
  for (auto _ : state) {
    const double cpu0 = zeva::bench::CpuSeconds(RUSAGE_THREAD);
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(zeva::WaitForFlags(ctx, 2000, zeva::SF_ACK_RECEIVED));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    share = (zeva::bench::CpuSeconds(RUSAGE_THREAD) - cpu0) / wall;
  }
  state.counters["cpu_per_wall"] = share;
}
BENCHMARK(BM_IdleWaitCpuShare)->Iterations(1)->Unit(benchmark::kMillisecond);

zeva::DriverContext* g_ctx = nullptr;
Clock::time_point g_postedAt;

LRESULT SetFlagProc(HWND, unsigned msg, WPARAM, LPARAM) {
  if (msg == 0x0401) g_ctx->core.flags.Set(zeva::SF_ACK_RECEIVED);
  return 0;
}

// Time from PostMessageA on another thread to the wait having returned.
void BM_ReactionToCrossThreadPost(benchmark::State& state) {
  zeva::DriverContext ctx(zeva::platform::RealPlatform());
  g_ctx = &ctx;
  HWND window = CreateMessageWindow(&SetFlagProc);
  std::vector<double> micros;
  for (auto _ : state) {
    ctx.core.flags.Reset();
    std::atomic<int64_t> postedNs{0};
    std::thread poster([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      postedNs = Clock::now().time_since_epoch().count();
      PostMessageA(window, 0x0401, 0, 0);
    });
    zeva::WaitForFlags(ctx, 5000, zeva::SF_ACK_RECEIVED);
    const auto done = Clock::now().time_since_epoch().count();
    poster.join();
    const double us = static_cast<double>(done - postedNs.load()) / 1e3;
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  DestroyWindow(window);
  g_ctx = nullptr;
}
BENCHMARK(BM_ReactionToCrossThreadPost)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
