// What one transaction costs the host, side by side with a peer.
//
// The peer is a libmodbus RTU master reading three holding registers from
// bench_modbus_slave (8 request and 11 answer characters, no echo, the answer
// after the 3.5-character gap). Ours is Query to zevasim's device 5 (request
// and its echo, the device's acknowledgement, its reply, the station's
// acknowledgement and its echo: 32 characters). Both lines run at the same
// rate with every byte paced to its wire time, both servers in their own
// process on a pseudo-terminal, and the two clients take turns in blocks of
// 200 calls in one run (at least five pairs of blocks), so a busy machine
// weighs on both alike; every block is reported, not only the range.
//
// Per client: the floor (wire time plus the answer's gap or the device's two
// turnarounds), median and p90 round trip over the floor, CPU of the whole
// process per round trip (getrusage: both of our threads), context switches
// per round trip, and for Query the data events (EVT_DATA_READY messages
// reaching the client window) per call and the port's event thread's wake-ups
// per call: over the whole block, pauses between calls included, and inside
// the Query calls alone (measured in an extra block of its own, see
// ZevaClient::Watched). System calls are counted apart, by
// scripts/bench-report, with strace on single-client runs (BM_OneClient).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
// Pairs of blocks (libmodbus, then Query) in BM_SideBySide; ZEVA_BENCH_PAIRS
// may ask for more, never fewer: a median and a worst over fewer blocks say
// little on a shared machine.
constexpr int kMinPairs = 5;
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
  // The event thread's context switches per call, or -1 when it could not
  // be found or vanished during the block (never 0 for "unknown").
  double wakeupsPerCall = -1;
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

// --- the port's event thread, seen from /proc -----------------------------------

// The POSIX port's event thread names itself "zeva-events". Each time it goes
// to sleep (a voluntary switch) or is preempted (a non-voluntary one) the
// kernel counts a switch in its status file; their sum is how often it was
// woken. A switch is booked when the thread gives the CPU up, though, so a
// wake-up late in a call is booked after it: for counts over a single call
// the probe also reads schedstat, whose third figure counts the times the
// thread was given a CPU, booked the moment it runs. The files are opened
// once per lookup, so a reading is one pread (the kernel regenerates the file
// at offset 0) and no directory walk.
class EventThreadProbe {
 public:
  EventThreadProbe() = default;
  ~EventThreadProbe() { Close(); }
  EventThreadProbe(const EventThreadProbe&) = delete;
  EventThreadProbe& operator=(const EventThreadProbe&) = delete;

  // Looks the thread up afresh (a port that reopens starts a new one).
  // False when no thread or more than one carries the name: a count taken
  // from the wrong thread would be worse than none.
  bool Find() {
    Close();
    std::string tid;
    int found = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
      std::ifstream comm(task.path() / "comm");
      std::string name;
      if (std::getline(comm, name) && name == "zeva-events") {
        ++found;
        tid = task.path().filename().string();
      }
    }
    if (found != 1) return false;
    fd_ = open(("/proc/self/task/" + tid + "/status").c_str(), O_RDONLY | O_CLOEXEC);
    schedFd_ = open(("/proc/self/task/" + tid + "/schedstat").c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
  }

  // Switches so far, or -1 when the thread is not known or has ended.
  long Switches() const {
    char text[4096];
    if (!ReadWhole(fd_, text, sizeof text)) return -1;
    const long voluntary = Field(text, "\nvoluntary_ctxt_switches:");
    const long preempted = Field(text, "\nnonvoluntary_ctxt_switches:");
    return voluntary < 0 || preempted < 0 ? -1 : voluntary + preempted;
  }

  // Times the thread was given a CPU so far (woken or resumed after
  // preemption), or -1 when not known.
  long Arrivals() const {
    char text[128];
    if (!ReadWhole(schedFd_, text, sizeof text)) return -1;
    unsigned long long onCpuNs = 0;
    unsigned long long waitNs = 0;
    long runs = -1;
    return std::sscanf(text, "%llu %llu %ld", &onCpuNs, &waitNs, &runs) == 3 ? runs : -1;
  }

 private:
  // The file from its start, as a string.
  static bool ReadWhole(int fd, char* text, size_t size) {
    if (fd < 0) return false;
    const ssize_t n = pread(fd, text, size - 1, 0);
    if (n <= 0) return false;
    text[n] = '\0';
    return true;
  }
  static long Field(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at == nullptr ? -1 : std::strtol(at + std::strlen(key), nullptr, 10);
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    if (schedFd_ >= 0) close(schedFd_);
    fd_ = -1;
    schedFd_ = -1;
  }
  int fd_ = -1;
  int schedFd_ = -1;
};

double PerCall(long before, long after, int calls) {
  return before < 0 || after < 0 ? -1 : static_cast<double>(after - before) / calls;
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
  // The event thread is read just outside the block's CPU and switch
  // readings (RunBlock takes those), so the two reads cost the block nothing.
  Block Run(int calls) {
    EventThreadProbe probe;
    probe.Find();
    const long before = probe.Switches();
    Block b = RunBlock(calls, [this] { return Call(); }, [this] { Pause(); }, &gDataEvents);
    b.wakeupsPerCall = PerCall(before, probe.Switches(), calls);
    return b;
  }
  // The event thread's wake-ups inside the Query calls alone: the times it
  // was given a CPU, read right before and right after each call, only the
  // differences across the calls summed (and, for comparison, its switches
  // read the same way, which book a wake-up only when the thread sleeps
  // again). The reads are the client's own work between calls, yet they
  // would show in the process's CPU and switches, so this is a block of its
  // own whose CPU is not reported. -1 when the thread could not be found or
  // vanished.
  struct InCall {
    double arrivals = -1;
    double switches = -1;
  };
  InCall Watched(int calls, int* failures) {
    EventThreadProbe probe;
    probe.Find();
    long arrivals = 0;
    long switches = 0;
    bool known = true;
    for (int i = 0; i < calls; ++i) {
      const long arrived0 = probe.Arrivals();
      const long switched0 = probe.Switches();
      if (!Call()) ++*failures;
      const long switched1 = probe.Switches();
      const long arrived1 = probe.Arrivals();
      if (arrived0 < 0 || arrived1 < 0 || switched0 < 0 || switched1 < 0) known = false;
      arrivals += arrived1 - arrived0;
      switches += switched1 - switched0;
      Pause();
    }
    if (!known) return {};
    return {static_cast<double>(arrivals) / calls, static_cast<double>(switches) / calls};
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
  Range median, p90, cpu, switches, events, wakeups;
  int failures = 0;
  void Add(const Block& b, double floorUs) {
    median.Add(Quantile(b.callUs, 0.5) / floorUs);
    p90.Add(Quantile(b.callUs, 0.9) / floorUs);
    cpu.Add(b.cpuUsPerCall);
    switches.Add(b.switchesPerCall);
    events.Add(b.eventsPerCall);
    wakeups.Add(b.wakeupsPerCall);
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
    if (who == "zeva") {  // only our client has an event thread
      state.counters[who + "_wakeups_lo"] = wakeups.lo;
      state.counters[who + "_wakeups_hi"] = wakeups.hi;
    }
    state.counters[who + "_failures"] = failures;
  }
};

#ifdef ZEVA_HAVE_LIBMODBUS
int Pairs() {
  const char* asked = std::getenv("ZEVA_BENCH_PAIRS");
  return std::max(kMinPairs, asked != nullptr ? std::atoi(asked) : 0);
}

// Every pair of blocks as counters block<i>_<figure>, for a table with a row
// per block.
void ReportBlock(benchmark::State& state, int i, const Block& peer, const Block& ours, ZevaClient::InCall inCall) {
  const std::string at = "block" + std::to_string(i) + "_";
  state.counters[at + "modbus_cpu_us"] = peer.cpuUsPerCall;
  state.counters[at + "modbus_switches"] = peer.switchesPerCall;
  state.counters[at + "zeva_cpu_us"] = ours.cpuUsPerCall;
  state.counters[at + "zeva_switches"] = ours.switchesPerCall;
  state.counters[at + "zeva_events"] = ours.eventsPerCall;
  state.counters[at + "zeva_wakeups"] = ours.wakeupsPerCall;
  state.counters[at + "zeva_wakeups_in_call"] = inCall.arrivals;
  state.counters[at + "zeva_switches_in_call"] = inCall.switches;
}

void BM_SideBySide(benchmark::State& state) {
  const int32_t bps = 115200;
  const int pairs = Pairs();
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
  int watchedFailures = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int pair = 0; pair < pairs; ++pair) {
      const Block theirs = modbus.Run(kBlock);
      const Block mine = zeva.Run(kBlock);
      // Right after the block it belongs to, on the same machine load.
      const ZevaClient::InCall inCall = zeva.Watched(kBlock, &watchedFailures);
      peer.Add(theirs, modbus.FloorUs());
      ours.Add(mine, zeva.FloorUs());
      ReportBlock(state, pair, theirs, mine, inCall);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  state.counters["blocks"] = pairs;
  state.counters["calls_per_block"] = kBlock;
  if (ours.failures + peer.failures + watchedFailures > 0) state.SkipWithError("calls failed");
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
