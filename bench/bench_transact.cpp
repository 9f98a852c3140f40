// The transaction path, measured.
//
// Receive latency: from the last byte of a frame reaching the host's port
// (a pseudo-terminal whose other end this benchmark drives itself, so it
// knows when that was) to the client callback running, and to the reply
// flag of a pending request being seen by the waiting client thread. The
// frames ask for no acknowledgement, so only the host's own work is timed:
// the event thread's wake-up, the posted event, the receive loop, the parse
// and the dispatch.
//
// Round trip: a query-shaped exchange (request and its echo, the device's
// acknowledgement, its reply, the station's acknowledgement and its echo)
// at 115200 bit/s with wire pacing, divided by the wire time of those
// characters plus the device's two turnarounds. In virtual time (the test
// platform and the simulator) the ratio is exact; on a pseudo-terminal with
// zevasim it includes the operating system.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "core/config.h"
#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "link/frame.h"
#include "platform/testing/test_platform.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "sim/bus.h"
#include "transact/transmitter.h"
#include "transact/request_table.h"

namespace {

using Clock = std::chrono::steady_clock;
using zeva::DriverContext;

constexpr int32_t kBps = 115200;
constexpr uint64_t kTurnaroundUs = 1000;
// Request 11, acknowledgement 5, reply 11, acknowledgement 5 (protocol 2).
constexpr size_t kRoundTripChars = 11 + 5 + 11 + 5;

void Percentiles(benchmark::State& state, std::vector<double> micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

using zeva::bench::IgnoreMessages;
using zeva::bench::Prefix;

// --- receive latency ----------------------------------------------------------

std::atomic<int64_t> gCallbackNs{0};

void ZEVA_CALLBACK OnData(int32_t, int32_t, int32_t, int32_t, const uint8_t*, int32_t) {
  gCallbackNs = Clock::now().time_since_epoch().count();
}

// The driver on COM1, a pseudo-terminal whose master side is ours.
struct PtyDriver {
  Prefix prefix;
  int master = -1;
  DriverContext ctx{zeva::platform::RealPlatform()};
  HWND window = nullptr;

  PtyDriver() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    if (symlink(ptsname(master), prefix.Com1().c_str()) != 0) return;
    zeva::ProcessAttach(ctx);
    ctx.core.switches.noAck = 1;  // time the host's own work only
    ctx.runtime.callbacks.onDataReceived = &OnData;
    window = CreateMessageWindow(&IgnoreMessages);
    if (zeva::OpenCOM(ctx, window) != 1) std::fprintf(stderr, "bench: OpenCOM failed\n");
  }
  ~PtyDriver() {
    zeva::ProcessDetach(ctx);
    DestroyWindow(window);
    if (master >= 0) close(master);
  }

  // Writes a reply from device 5 after a short pause, on another thread;
  // returns the time its write returned.
  std::thread Reply(std::atomic<int64_t>* writtenNs) {
    return std::thread([this, writtenNs] {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      const uint8_t data[6] = {1, 2, 3, 4, 5, 242};
      const zeva::link::DataFrame f = zeva::link::EncodeDataFrame(2, 1, 5, 0xC1, data);
      if (write(master, f.data(), f.size()) != static_cast<ssize_t>(f.size())) return;
      *writtenNs = Clock::now().time_since_epoch().count();
    });
  }
};

void BM_ReceiveToCallback(benchmark::State& state) {
  PtyDriver d;
  std::vector<double> micros;
  for (auto _ : state) {
    gCallbackNs = 0;
    std::atomic<int64_t> writtenNs{0};
    std::thread device = d.Reply(&writtenNs);
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (gCallbackNs == 0 && Clock::now() < deadline) zeva::WaitForFlags(d.ctx, 2, 0);
    device.join();
    const double us = static_cast<double>(gCallbackNs - writtenNs) / 1e3;
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  Percentiles(state, micros);
}
BENCHMARK(BM_ReceiveToCallback)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ReceiveToReplyFlag(benchmark::State& state) {
  PtyDriver d;
  std::vector<double> micros;
  for (auto _ : state) {
    uint8_t header[8];
    uint8_t data[6];
    const uint32_t id = d.ctx.transact.requests->Push(zeva::RQ_REPLY, 5, 0, header, data);
    d.ctx.core.flags.Clear(zeva::SF_QUERY_REPLY);
    std::atomic<int64_t> writtenNs{0};
    std::thread device = d.Reply(&writtenNs);
    zeva::WaitForFlags(d.ctx, 2000, zeva::SF_QUERY_REPLY);
    const int64_t seenNs = Clock::now().time_since_epoch().count();
    device.join();
    d.ctx.transact.requests->Remove(id);
    const double us = static_cast<double>(seenNs - writtenNs) / 1e3;
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  Percentiles(state, micros);
}
BENCHMARK(BM_ReceiveToReplyFlag)->Iterations(300)->UseManualTime()->Unit(benchmark::kMicrosecond);

// --- query-shaped round trip --------------------------------------------------------

const uint8_t kQuery[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x21};

// Request, acknowledgement, reply and the station's acknowledgement, as a
// query does it: the reply flag is set once the station's acknowledgement
// has gone out. Returns true when the reply came.
bool Query(DriverContext& ctx) {
  uint8_t header[8];
  uint8_t data[6];
  const uint32_t id = ctx.transact.requests->Push(zeva::RQ_REPLY, 5, 0, header, data);
  ctx.core.flags.Clear(zeva::SF_QUERY_REPLY);
  bool replied = false;
  if (zeva::TransmitMessage(ctx, {.destination = 5, .type = 1, .data = kQuery, .length = 6}, {}) == zeva::kTxDone) {
    replied = zeva::WaitForFlags(ctx, static_cast<uint32_t>(2 * ctx.core.settings.packetTimeout),
                                 zeva::SF_QUERY_REPLY) == 0;
  }
  ctx.transact.requests->Remove(id);
  return replied;
}

double FloorUs(const zeva::sim::Bus& bus) {
  return static_cast<double>(bus.WireTimeUs(kRoundTripChars) + 2 * kTurnaroundUs);
}

void BM_RoundTripVirtual(benchmark::State& state) {
  zeva::sim::BusConfig config;
  config.pacing = true;
  config.turnaroundUs = kTurnaroundUs;
  zeva::sim::Bus bus(config);
  zeva::sim::DeviceConfig device;
  device.address = 5;
  bus.AddDevice(device);
  zeva::testing::TestPlatform platform;
  platform.AttachLine(1, &bus);
  DriverContext ctx(platform);
  zeva::ProcessAttach(ctx);
  ctx.core.settings.bps = kBps;
  HWND window = CreateMessageWindow(&IgnoreMessages);
  zeva::OpenCOM(ctx, window);
  double ratio = 0;
  for (auto _ : state) {
    const uint64_t t0 = platform.NowUs();
    if (!Query(ctx)) state.SkipWithError("no reply");
    ratio = static_cast<double>(platform.NowUs() - t0) / FloorUs(bus);
    platform.AdvanceMs(5);  // a quiet line between exchanges
  }
  state.counters["floor_us"] = FloorUs(bus);
  state.counters["ratio"] = ratio;
  zeva::ProcessDetach(ctx);
  DestroyWindow(window);
}
BENCHMARK(BM_RoundTripVirtual)->Iterations(20);

#ifdef ZEVASIM_PATH
void BM_RoundTripPty(benchmark::State& state) {
  zeva::bench::ZevasimDriver d({"--device", "5:S01A2B3:5:2.7", "--pacing", "--bps", std::to_string(kBps),
                                "--turnaround-us", std::to_string(kTurnaroundUs)},
                               kBps);
  if (!d.ready()) {
    state.SkipWithError("zevasim did not start or the port did not open");
    return;
  }
  zeva::sim::BusConfig config;
  config.pacing = true;
  zeva::sim::Bus reference(config);  // for the wire time at the opened rate
  zeva::platform::SerialConfig line;
  line.bps = kBps;
  reference.HostOpened(line);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (!Query(d.ctx)) state.SkipWithError("no reply");
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
    zeva::WaitForFlags(d.ctx, 5, 0);
  }
  Percentiles(state, micros);
  std::sort(micros.begin(), micros.end());
  state.counters["floor_us"] = FloorUs(reference);
  state.counters["median_ratio"] = micros[micros.size() / 2] / FloorUs(reference);
}
BENCHMARK(BM_RoundTripPty)->Iterations(100)->UseManualTime()->Unit(benchmark::kMicrosecond);

// CPU of the whole process (client thread and the port's event thread) per
// wall second while the client waits two seconds with the port open on a
// quiet line.
void BM_IdleWaitOpenPortPty(benchmark::State& state) {
  zeva::bench::ZevasimDriver d({"--device", "5:S01A2B3:5:2.7"}, kBps);
  if (!d.ready()) {
    state.SkipWithError("zevasim did not start or the port did not open");
    return;
  }
  double share = 0;
  for (auto _ : state) {
    const double cpu0 = zeva::bench::CpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(zeva::WaitForFlags(d.ctx, 2000, zeva::SF_ACK_RECEIVED));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    share = (zeva::bench::CpuSeconds(RUSAGE_SELF) - cpu0) / wall;
  }
  state.counters["cpu_per_wall"] = share;
}
BENCHMARK(BM_IdleWaitOpenPortPty)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
