// The device services, measured against what the protocol itself costs.
//
// Bus map: the wall time of MakeMap on a bus of three devices divided by its
// floor: a wait of twice the packet timeout for every silent address, the
// wire time of every frame of the map, and one turnaround before each device
// answer (an answered address does not wait out its timeout). In virtual time
// (the test platform and the simulator, wire pacing at 19200 bit/s) the ratio
// is exact; on a pseudo-terminal with zevasim (no pacing) the floor is the
// silent addresses' waits alone, the ratio includes the operating system, and
// the process's CPU time per wall second tells whether the waits block or
// spin.
//
// Download: the transfer of a 4 KB program to a device whose version high
// number is 2 (alternating mode, a response per frame) at 115200 bit/s with
// pacing, from "Programming..." to "Restarting devices...", divided by the
// wire time of every frame in that span (body frames with their echo, the
// device's acknowledgements and responses, the station's acknowledgements)
// plus one simulator turnaround per device transmission; in virtual time and
// to zevasim on a pseudo-terminal.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "core/config.h"
#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "platform/testing/test_platform.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/identify.h"
#include "services/program.h"
#include "sim/bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using zeva::DriverContext;

constexpr int32_t kMapAddresses = 127;
constexpr int32_t kDownloadBps = 115200;
constexpr uint64_t kTurnaroundUs = 1000;
constexpr size_t kProgramSize = 4096;

using zeva::bench::IgnoreMessages;

// The devices the map reported.
int32_t gFound = 0;
void ZEVA_CALLBACK CountFound(int32_t, const char*, int32_t, int32_t, int32_t) { ++gFound; }

// The waits of the addresses nobody answered.
double SilentWaitsUs(const DriverContext& ctx, int32_t found) {
  return (kMapAddresses - found) * 2.0 * ctx.core.settings.packetTimeout * 1000.0;
}

// Wire time of the frames (and unframed bursts) that started in [fromUs, toUs).
struct WireUse {
  double us = 0;
  int32_t deviceBursts = 0;
};

WireUse WireBetween(const zeva::sim::Bus& bus, uint64_t fromUs, uint64_t toUs) {
  WireUse use;
  for (const zeva::sim::TraceEntry& e : bus.trace()) {
    if (e.kind == zeva::sim::TraceEntry::Kind::kEvent || e.startUs < fromUs || e.startUs >= toUs) continue;
    use.us += static_cast<double>(e.endUs - e.startUs);
    if (e.talker.kind == zeva::sim::TalkerKind::kDevice) ++use.deviceBursts;
  }
  return use;
}

// The driver on COM1 of a test platform wired to `bus`.
struct VirtualDriver {
  zeva::testing::TestPlatform platform;
  DriverContext ctx{platform};
  HWND window = nullptr;

  VirtualDriver(zeva::sim::Bus& bus, int32_t bps) {
    platform.AttachLine(1, &bus);
    zeva::ProcessAttach(ctx);
    ctx.core.settings.bps = bps;
    window = CreateMessageWindow(&IgnoreMessages);
    zeva::SetClientHWND(ctx, window);
  }
  ~VirtualDriver() {
    zeva::ProcessDetach(ctx);
    DestroyWindow(window);
  }
};

zeva::sim::DeviceConfig Device(uint8_t address, uint32_t serial, uint8_t versionHigh) {
  zeva::sim::DeviceConfig d;
  d.address = address;
  d.serial = serial;
  d.product = 5;
  d.versionHigh = versionHigh;
  d.versionLow = 7;
  return d;
}

// --- bus map -------------------------------------------------------------------

void BM_MakeMapVirtual(benchmark::State& state) {
  zeva::sim::BusConfig config;
  config.pacing = true;
  double ratio = 0;
  for (auto _ : state) {
    zeva::sim::Bus bus(config);
    bus.AddDevice(Device(5, 0x01A2B3, 2));
    bus.AddDevice(Device(7, 0x00C0DE, 0));
    bus.AddDevice(Device(12, 0x1F2E3D, 1));
    VirtualDriver d(bus, 19200);
    d.ctx.runtime.callbacks.onDeviceFound = &CountFound;
    gFound = 0;
    zeva::OpenCOM(d.ctx, d.window);
    const uint64_t t0 = d.platform.NowUs();
    if (zeva::MakeMap(d.ctx) != 1 || gFound != 3) state.SkipWithError("map failed");
    const uint64_t t1 = d.platform.NowUs();
    const WireUse wire = WireBetween(bus, t0, t1);
    const double floor = SilentWaitsUs(d.ctx, gFound) + wire.us +
                         static_cast<double>(wire.deviceBursts) * static_cast<double>(config.turnaroundUs);
    ratio = static_cast<double>(t1 - t0) / floor;
    state.counters["map_ms"] = static_cast<double>(t1 - t0) / 1000.0;
    state.counters["floor_ms"] = floor / 1000.0;
  }
  state.counters["ratio"] = ratio;
}
BENCHMARK(BM_MakeMapVirtual)->Iterations(1)->Unit(benchmark::kMillisecond);

#ifdef ZEVASIM_PATH
// zevasim without pacing: the floor is the waits alone.
void BM_MakeMapPty(benchmark::State& state) {
  zeva::bench::ZevasimDriver d({"--demo"}, 0, [](DriverContext& ctx) { ctx.runtime.callbacks.onDeviceFound = &CountFound; });
  if (!d.ready()) {
    state.SkipWithError("zevasim did not start or the port did not open");
    return;
  }
  double ratio = 0;
  double cpuShare = 0;
  for (auto _ : state) {
    gFound = 0;
    const double cpu0 = zeva::bench::CpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    if (zeva::MakeMap(d.ctx) != 1 || gFound != 3) state.SkipWithError("map failed");
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    cpuShare = (zeva::bench::CpuSeconds(RUSAGE_SELF) - cpu0) / (us / 1e6);
    ratio = us / SilentWaitsUs(d.ctx, gFound);
    state.SetIterationTime(us / 1e6);
  }
  state.counters["ratio"] = ratio;
  state.counters["cpu_per_wall"] = cpuShare;
}
BENCHMARK(BM_MakeMapPty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

// --- program download ------------------------------------------------------------

// The span from "Programming..." to "Restarting devices...", on whichever
// clock the driver runs.
struct TransferSpan {
  zeva::testing::TestPlatform* platform = nullptr;  // null: the steady clock
  double startUs = 0;
  double endUs = 0;
};
TransferSpan gSpan;

double SpanClockUs() {
  if (gSpan.platform != nullptr) return static_cast<double>(gSpan.platform->NowUs());
  return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

void ZEVA_CALLBACK MarkTransfer(int32_t, const char* text) {
  if (std::strcmp(text, "Programming...") == 0) gSpan.startUs = SpanClockUs();
  if (std::strcmp(text, "Restarting devices...") == 0) gSpan.endUs = SpanClockUs();
}

std::vector<uint8_t> TestProgram() {
  std::vector<uint8_t> program(kProgramSize);
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 31 + 7);
  return program;
}

// The download in virtual time: its duration and its floor. The floor is
// the same for any line that carries the same frames at the same rate with
// the same turnaround, so the pseudo-terminal run below is measured against
// it too.
struct VirtualTransfer {
  bool ok = false;
  double us = 0;
  double floorUs = 0;
};

VirtualTransfer DownloadVirtual() {
  zeva::sim::BusConfig config;
  config.pacing = true;
  config.turnaroundUs = kTurnaroundUs;
  zeva::sim::Bus bus(config);
  zeva::sim::Device& device = bus.AddDevice(Device(0, 0x01A2B3, 2));
  VirtualDriver d(bus, kDownloadBps);
  d.ctx.runtime.callbacks.onProgress = &MarkTransfer;
  gSpan = {&d.platform, 0, 0};
  const std::vector<uint8_t> program = TestProgram();
  VirtualTransfer t;
  t.ok = zeva::Program(d.ctx, "S01A2B3", 9, 5, 0, 0, program.data(), static_cast<int32_t>(program.size())) == 1 &&
         d.ctx.services.lastProgramError == 0 && device.program().bytes == program;
  const WireUse use = WireBetween(bus, static_cast<uint64_t>(gSpan.startUs), static_cast<uint64_t>(gSpan.endUs));
  t.floorUs = use.us + static_cast<double>(use.deviceBursts) * kTurnaroundUs;
  t.us = gSpan.endUs - gSpan.startUs;
  return t;
}

void BM_ProgramVirtual(benchmark::State& state) {
  VirtualTransfer t;
  for (auto _ : state) {
    t = DownloadVirtual();
    if (!t.ok) state.SkipWithError("download failed");
  }
  state.counters["transfer_ms"] = t.us / 1000.0;
  state.counters["floor_ms"] = t.floorUs / 1000.0;
  state.counters["ratio"] = t.us / t.floorUs;
}
BENCHMARK(BM_ProgramVirtual)->Iterations(1)->Unit(benchmark::kMillisecond);

#ifdef ZEVASIM_PATH
// The same download to zevasim on a pseudo-terminal, paced at the same rate
// with the same turnaround.
void BM_ProgramPty(benchmark::State& state) {
  const VirtualTransfer reference = DownloadVirtual();
  zeva::bench::ZevasimDriver d({"--device", "0:S01A2B3:5:2.7", "--pacing", "--bps", std::to_string(kDownloadBps),
                                "--turnaround-us", std::to_string(kTurnaroundUs)},
                               kDownloadBps, [](DriverContext& ctx) { ctx.runtime.callbacks.onProgress = &MarkTransfer; });
  if (!reference.ok || !d.ready()) {
    state.SkipWithError("no reference run, or zevasim did not start");
    return;
  }
  DriverContext& ctx = d.ctx;
  const std::vector<uint8_t> program = TestProgram();
  std::vector<double> runs;
  for (auto _ : state) {
    gSpan = {nullptr, 0, 0};
    if (zeva::Program(ctx, "S01A2B3", 9, 5, 0, 0, program.data(), static_cast<int32_t>(program.size())) != 1 ||
        ctx.services.lastProgramError != 0) {
      state.SkipWithError("download failed");
    }
    runs.push_back(gSpan.endUs - gSpan.startUs);
    state.SetIterationTime(runs.back() / 1e6);
  }
  // Other work on the machine only ever adds time: the best run is the
  // driver's own figure, the median what a busy machine gives.
  std::sort(runs.begin(), runs.end());
  state.counters["transfer_ms"] = runs.front() / 1000.0;
  state.counters["floor_ms"] = reference.floorUs / 1000.0;
  state.counters["ratio"] = runs.front() / reference.floorUs;
  state.counters["median_ratio"] = runs[runs.size() / 2] / reference.floorUs;
}
BENCHMARK(BM_ProgramPty)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

}  // namespace
