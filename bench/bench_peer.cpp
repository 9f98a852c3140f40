// What one transaction costs the host, side by side with a peer.
//
// The peer is a libmodbus RTU master reading three holding registers from
// bench_modbus_slave (8 request and 11 answer characters, no echo, the answer
// after the 3.5-character gap). Ours is Query to zevasim's device 5 (request
// and its echo, the device's acknowledgement, its reply, the station's
// acknowledgement and its echo: 32 characters). Both lines run at the same
// rate with every byte paced to its wire time, both servers in their own
// process on a pseudo-terminal, and the two clients take turns in blocks of
// 200 calls in one run, so a busy machine weighs on both alike.
//
// Per client: the floor (wire time plus the answer's gap or the device's two
// turnarounds), median and p90 round trip over the floor, CPU of the whole
// process per round trip (getrusage: both of our threads), context switches
// per round trip, and for Query the data events (EVT_DATA_READY messages
// reaching the client window) per call. System calls are counted apart, by
// scripts/bench-report, with strace on single-client runs (BM_OneClient).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef ZEVA_HAVE_LIBMODBUS
#include <modbus.h>
#endif

#include "bench/bench_support.h"
#include "runtime/bridge.h"
#include "runtime/wait.h"
#include "services/query.h"
#include "services/remote_error.h"

// Both clients need zevasim (the tools are part of the build).
#ifdef ZEVASIM_PATH
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBitsPerChar = 11;
constexpr int kBlock = 200;
constexpr int kPairs = 3;
constexpr uint64_t kTurnaroundUs = 500;
constexpr int kQueryChars = 11 + 5 + 11 + 5;
constexpr int kModbusChars = 8 + 11;
constexpr double kModbusGapChars = 3.5;
constexpr auto kPause = std::chrono::milliseconds(2);  // quiet line between calls

double CharUs(int32_t bps) { return kBitsPerChar * 1e6 / bps; }

// --- what a block of calls cost ------------------------------------------------

struct Usage {
  double cpuS = 0;
  long switches = 0;
};

Usage ProcessUsage() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {zeva::bench::CpuSeconds(RUSAGE_SELF), u.ru_nvcsw + u.ru_nivcsw};
}

struct Block {
  std::vector<double> callUs;
  double cpuUsPerCall = 0;
  double switchesPerCall = 0;
  double eventsPerCall = 0;
  int failures = 0;
};

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

// Runs `calls` calls of `one` (which returns false on a failed call) with a
// quiet pause between them, pausing through `pause`.
template <typename One, typename Pause>
Block RunBlock(int calls, One one, Pause pause, const long* events) {
  Block b;
  const long events0 = events != nullptr ? *events : 0;
  const Usage u0 = ProcessUsage();
  for (int i = 0; i < calls; ++i) {
    const auto t0 = Clock::now();
    if (!one()) ++b.failures;
    b.callUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    pause();
  }
  const Usage u1 = ProcessUsage();
  b.cpuUsPerCall = (u1.cpuS - u0.cpuS) * 1e6 / calls;
  b.switchesPerCall = static_cast<double>(u1.switches - u0.switches) / calls;
  if (events != nullptr) b.eventsPerCall = static_cast<double>(*events - events0) / calls;
  return b;
}

// --- ours: Query to zevasim ------------------------------------------------------

long gDataEvents = 0;
unsigned gEventId = 0;

// The client window's own procedure: it sees each event after the driver.
LRESULT CountDataEvents(HWND, unsigned message, WPARAM wParam, LPARAM) {
  if (message == gEventId && wParam == zeva::EVT_DATA_READY) ++gDataEvents;
  return 0;
}

struct ZevaClient {
  zeva::bench::ZevasimDriver d;
  int32_t bps;
  explicit ZevaClient(int32_t rate)
      : d({"--device", "5:S01A2B3:5:2.7", "--pacing", "--bps", std::to_string(rate), "--turnaround-us",
           std::to_string(kTurnaroundUs)},
          rate, [](zeva::DriverContext& ctx) { ctx.core.switches.noErrMsgBox = 1; }, &CountDataEvents),
        bps(rate) {
    gEventId = RegisterWindowMessageA(zeva::kEventMessageName);
  }
  bool ready() const { return d.ready(); }
  bool Call() {
    const uint8_t message[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x21};
    return zeva::Query(d.ctx, 5, message, 1, 0) == 1;
  }
  // Between calls the client is in its own message loop, as an application
  // is, not in one of the driver's waits.
  void Pause() {
    const auto end = Clock::now() + kPause;
    MSG msg;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
      d.ctx.core.platform.WaitForMessageOrTick(d.ctx.core.platform.TickCount() + static_cast<uint32_t>(left));
    }
  }
  double FloorUs() const { return kQueryChars * CharUs(bps) + 2.0 * kTurnaroundUs; }
  Block Run(int calls) {
    return RunBlock(calls, [this] { return Call(); }, [this] { Pause(); }, &gDataEvents);
  }
};

// --- the peer: libmodbus reading three holding registers --------------------------

#ifdef ZEVA_HAVE_LIBMODBUS
struct ModbusClient {
  zeva::bench::Prefix prefix;
  zeva::test::ZevasimProcess slave;
  modbus_t* mb = nullptr;
  int32_t bps;
  explicit ModbusClient(int32_t rate)
      : slave(MODBUS_SLAVE_PATH, prefix.Path("modbus"), {"--bps", std::to_string(rate)}), bps(rate) {
    if (!slave.ready()) return;
    mb = modbus_new_rtu(slave.tty().c_str(), rate, 'E', 8, 1);
    if (mb == nullptr) return;
    modbus_set_slave(mb, 1);
    modbus_set_response_timeout(mb, 1, 0);
    if (modbus_connect(mb) != 0) {
      std::fprintf(stderr, "bench_peer: modbus_connect: %s\n", modbus_strerror(errno));
      modbus_free(mb);
      mb = nullptr;
    }
  }
  ~ModbusClient() {
    if (mb == nullptr) return;
    modbus_close(mb);
    modbus_free(mb);
  }
  ModbusClient(const ModbusClient&) = delete;
  ModbusClient& operator=(const ModbusClient&) = delete;
  bool ready() const { return mb != nullptr; }
  bool Call() {
    uint16_t registers[3] = {0, 0, 0};
    return modbus_read_registers(mb, 0, 3, registers) == 3 && registers[2] == 0x1002;
  }
  double FloorUs() const { return (kModbusChars + kModbusGapChars) * CharUs(bps); }
  Block Run(int calls) {
    return RunBlock(calls, [this] { return Call(); }, [] { std::this_thread::sleep_for(kPause); }, nullptr);
  }
};
#endif

// min and max over blocks of one figure
struct Range {
  double lo = 1e300;
  double hi = -1e300;
  void Add(double x) {
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
};

struct Summary {
  Range median, p90, cpu, switches, events;
  int failures = 0;
  void Add(const Block& b, double floorUs) {
    median.Add(Quantile(b.callUs, 0.5) / floorUs);
    p90.Add(Quantile(b.callUs, 0.9) / floorUs);
    cpu.Add(b.cpuUsPerCall);
    switches.Add(b.switchesPerCall);
    events.Add(b.eventsPerCall);
    failures += b.failures;
  }
  void Report(benchmark::State& state, const std::string& who, double floorUs) const {
    state.counters[who + "_floor_us"] = floorUs;
    state.counters[who + "_median_ratio_lo"] = median.lo;
    state.counters[who + "_median_ratio_hi"] = median.hi;
    state.counters[who + "_p90_ratio_lo"] = p90.lo;
    state.counters[who + "_p90_ratio_hi"] = p90.hi;
    state.counters[who + "_cpu_us_lo"] = cpu.lo;
    state.counters[who + "_cpu_us_hi"] = cpu.hi;
    state.counters[who + "_switches_lo"] = switches.lo;
    state.counters[who + "_switches_hi"] = switches.hi;
    state.counters[who + "_events_lo"] = events.lo;
    state.counters[who + "_events_hi"] = events.hi;
    state.counters[who + "_failures"] = failures;
  }
};

#ifdef ZEVA_HAVE_LIBMODBUS
void BM_SideBySide(benchmark::State& state) {
  const int32_t bps = 115200;
  ZevaClient zeva(bps);
  ModbusClient modbus(bps);
  if (!zeva.ready() || !modbus.ready()) {
    state.SkipWithError("zevasim, the Modbus slave or a port did not come up");
    return;
  }
  // One call each first: the first use of a line is not what is measured.
  zeva.Call();
  modbus.Call();
  Summary ours;
  Summary peer;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int pair = 0; pair < kPairs; ++pair) {
      peer.Add(modbus.Run(kBlock), modbus.FloorUs());
      ours.Add(zeva.Run(kBlock), zeva.FloorUs());
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  if (ours.failures + peer.failures > 0) state.SkipWithError("calls failed");
  ours.Report(state, "zeva", zeva.FloorUs());
  peer.Report(state, "modbus", modbus.FloorUs());
}
BENCHMARK(BM_SideBySide)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
#endif

// CPU per Query at a rate: how the host's share grows as bytes come faster
// or slower.
void BM_QueryAtRate(benchmark::State& state) {
  const auto bps = static_cast<int32_t>(state.range(0));
  const int calls = bps < 19200 ? 50 : kBlock;
  ZevaClient zeva(bps);
  if (!zeva.ready()) {
    state.SkipWithError("zevasim did not start or the port did not open");
    return;
  }
  zeva.Call();
  Summary ours;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    ours.Add(zeva.Run(calls), zeva.FloorUs());
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  if (ours.failures > 0) state.SkipWithError("calls failed");
  ours.Report(state, "zeva", zeva.FloorUs());
}
BENCHMARK(BM_QueryAtRate)->Arg(9600)->Arg(115200)->Arg(921600)->Iterations(1)->UseManualTime()->Unit(
    benchmark::kMillisecond);

// One client alone for ZEVA_PEER_CALLS calls (ZEVA_PEER_CLIENT = zeva or
// modbus), for counting system calls from outside: two runs with different
// call counts, their difference divided by the difference in calls, leaves
// out starting and stopping. Registered only when asked for.
template <typename Client>
void RunAlone(benchmark::State& state, int calls) {
  Client client(115200);
  if (!client.ready()) {
    state.SkipWithError("the server did not start or the port did not open");
    return;
  }
  const Block b = client.Run(calls);
  state.counters["events_per_call"] = b.eventsPerCall;
  state.counters["failures"] = b.failures;
}

void BM_OneClient(benchmark::State& state, const std::string& client, int calls) {
  for (auto _ : state) {
    if (client == "zeva") RunAlone<ZevaClient>(state, calls);
#ifdef ZEVA_HAVE_LIBMODBUS
    if (client == "modbus") RunAlone<ModbusClient>(state, calls);
#endif
  }
}

const bool kOneClientRegistered = [] {
  const char* client = std::getenv("ZEVA_PEER_CLIENT");
  const char* calls = std::getenv("ZEVA_PEER_CALLS");
  if (client == nullptr || calls == nullptr) return false;
  benchmark::RegisterBenchmark("BM_OneClient", BM_OneClient, std::string(client), std::atoi(calls))
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

#ifndef ZEVA_HAVE_LIBMODBUS
const bool kPeerAbsent = [] {
  std::fprintf(stderr, "bench_peer: libmodbus was not found at build time; the side-by-side benchmark is skipped\n");
  return true;
}();
#endif

}  // namespace
#endif  // ZEVASIM_PATH
