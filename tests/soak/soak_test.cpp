// Soak under faults: thousands of mixed driver operations against several
// simulated devices while the line damages bytes, loses acknowledgements,
// carries noise, late replies, unsolicited frames and link resets. All in
// virtual time and from one seed, so a failing run is repeated exactly.
//
// Every operation is judged against the wire: it returns within the
// protocol's worst case, a success means the device got what was sent, an
// answer handed to the client is byte for byte what a device sent, a program
// a device accepted is the one sent, and the driver is back at rest
// afterwards. Failures are allowed under faults and counted by cause.
//
// ZEVA_SOAK_OPS (default 10000) and ZEVA_SOAK_SEED set the run's length and seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "core/config.h"
#include "link/frame.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/device_commands.h"
#include "services/identify.h"
#include "services/program.h"
#include "services/query.h"
#include "services/remote_error.h"
#include "services/service_rig.h"
#include "sim/rng.h"
#include "soak/wire_log.h"
#include "transact/send.h"
#include "transact/transmitter.h"
#include "transact/request_table.h"
#include "runtime/window_bridge.h"

namespace zeva::soak {
namespace {

using services_test::Rig;

constexpr uint8_t kStation = 1;
constexpr uint8_t kAbsent = 20;  // no device has this address
constexpr uint8_t kResponseCode = 0xF4;
constexpr uint64_t kDefaultOps = 10000;
constexpr uint64_t kDefaultSeed = 0x5EED2026;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 0);
}

// --- worst cases -------------------------------------------------------------

// The longest virtual time the protocol allows, from the settings the
// driver runs with. Every wait in the driver ends at its own deadline
// (and may overrun it by the tick it is checked on), so these sums bound an
// operation however the line behaves.
struct WorstCase {
  uint64_t packetMs;

  // An acknowledged frame: each of the five attempts waits twice the packet
  // timeout for its echo and acknowledgement; each unacknowledged attempt
  // then pauses (packet timeout + up to 16 ms) times its number.
  uint64_t AckedFrameMs() const {
    uint64_t ms = 0;
    for (uint64_t attempt = 1; attempt <= kSendAttempts; ++attempt) ms += 2 * packetMs + (packetMs + 16) * attempt;
    return ms;
  }
  // A frame that also awaits its response message: up to four failed
  // attempts, then the acknowledged one and the whole response wait.
  uint64_t ResponseFrameMs() const {
    uint64_t failed = 0;
    for (uint64_t attempt = 1; attempt < kSendAttempts; ++attempt) failed += 2 * packetMs + (packetMs + 16) * attempt;
    return std::max(AckedFrameMs(), failed + 2 * packetMs + kResponseWaitMs);
  }
  // An unacknowledged write waits only for its echo.
  uint64_t UnackedFrameMs() const { return 2 * packetMs; }
  // Identification, remote error and query: four requests, each an
  // acknowledged frame and then the reply wait.
  uint64_t StationRequestMs() const { return 4 * (AckedFrameMs() + 2 * packetMs); }
  // Each frame the station acknowledges writes from inside a wait, and that
  // write waits for its own echo: it can outlast the wait around it.
  uint64_t NestedAckMs() const { return 2 * packetMs; }
};

// Wire time of the frames and the tick each wait may overrun by.
constexpr uint64_t kSlackPerFrameMs = 40;

// --- the operations ------------------------------------------------------------

enum class Op {
  kSendAcked,
  kSendUnacked,
  kSendData,
  kSendDataResponse,
  kQuery,
  kRemoteError,
  kFirmwareInfo,
  kClearError,
  kReboot,
  kStop,
  kResetComm,
  kMakeMap,
  kProgramDirect,
  kWindowChange,
  kWriteFromCallback,
  kOffTheBus,
};

struct OpKind {
  Op op;
  const char* name;
  uint32_t weight;  // per mille
};

constexpr OpKind kOps[] = {
    {Op::kSendAcked, "Send", 160},
    {Op::kSendUnacked, "Send unacknowledged", 50},
    {Op::kSendData, "SendData", 120},
    {Op::kSendDataResponse, "SendData with response", 80},
    {Op::kQuery, "Query", 140},
    {Op::kRemoteError, "GetRemoteError", 90},
    {Op::kFirmwareInfo, "GetFirmwareInfo", 90},
    {Op::kClearError, "ClearRemoteError", 60},
    {Op::kReboot, "Reboot", 30},
    {Op::kStop, "Stop", 20},
    {Op::kResetComm, "ResetComm", 40},
    {Op::kMakeMap, "MakeMap", 5},
    {Op::kProgramDirect, "ProgramDirect", 55},
    {Op::kWindowChange, "Query after the client window changed", 10},
    {Op::kWriteFromCallback, "Send with a raw write from a callback", 30},
    {Op::kOffTheBus, "device service at an address past 127", 20},
};

struct DeviceSpec {
  uint8_t address;
  uint32_t serial;
  uint8_t product;
  uint8_t versionHigh;  // 0: takes programs in normal mode
  uint8_t versionLow;
};

constexpr DeviceSpec kDevices[] = {
    {5, 0x0A0005, 5, 2, 7},
    {6, 0x0B0006, 12, 0, 3},
    {7, 0x0C0007, 7, 1, 0},
    {9, 0x0D0009, 5, 3, 1},
};

// The client's data events: answers nobody asked for, late replies.
struct DataEvent {
  int32_t source;
  Bytes data;
};
std::vector<DataEvent>* g_dataEvents = nullptr;
// Runs once, inside the next data event: what a client does from its callback.
std::function<void()> g_inDataEvent;

void ZEVA_CALLBACK RecordData(int32_t source, int32_t, int32_t, int32_t, const uint8_t* data, int32_t) {
  if (g_dataEvents != nullptr) g_dataEvents->push_back({source, Bytes(data, data + 6)});
  if (g_inDataEvent) std::exchange(g_inDataEvent, nullptr)();
}

// What the driver must look like between operations.
struct RestState {
  Switches switches;
  bool operator==(const RestState& o) const {
    return switches.spy == o.switches.spy && switches.autoReply == o.switches.autoReply && switches.noAck == o.switches.noAck &&
           switches.echoCheck == o.switches.echoCheck && switches.noErrMsgBox == o.switches.noErrMsgBox &&
           switches.eventsFrozen == o.switches.eventsFrozen && switches.responseMsg == o.switches.responseMsg;
  }
};

struct Summary {
  uint64_t operations = 0;
  uint64_t virtualMs = 0;
  uint64_t longestShare = 0;  // the slowest operation, in percent of its worst case
  std::map<std::string, uint64_t> byKind;
  std::map<std::string, uint64_t> successes;
  std::map<std::string, uint64_t> failures;   // by cause
  std::map<std::string, uint64_t> faults;     // injected
  std::map<std::string, uint64_t> anomalies;  // allowed, but worth knowing
  // What the wire format cannot detect, each checked against the line's
  // record (see WireLog): counted, never a failure of the driver.
  std::map<std::string, uint64_t> limits;
  std::vector<std::string> violations;        // checks that failed

  std::string Format() const {
    std::ostringstream out;
    out << "operations " << operations << ", virtual time " << virtualMs / 1000 << " s, slowest operation "
        << longestShare << " % of its worst case\n";
    auto section = [&out](const char* title, const std::map<std::string, uint64_t>& m) {
      out << title << ":\n";
      for (const auto& [k, v] : m) out << "  " << k << ": " << v << "\n";
    };
    section("operations by kind", byKind);
    section("successes", successes);
    section("failures by cause", failures);
    section("faults injected", faults);
    section("allowed anomalies", anomalies);
    section("undetectable by the wire format", limits);
    out << "violations: " << violations.size() << "\n";
    return out.str();
  }
};

class Soak {
 public:
  Soak(uint64_t seed) : rig_(BusConfigFor(seed)), log_(rig_.bus), rng_(seed ^ 0xA5A5A5A5u) {
    for (const DeviceSpec& d : kDevices) {
      rig_.AddDevice(d.address, d.serial, d.product, d.versionHigh, d.versionLow);
    }
    rig_.bus.lineFaults.corruptProbability = 0.02;
    rig_.bus.lineFaults.dropProbability = 0.002;
    rig_.bus.lineFaults.ackLossProbability = 0.10;
    g_dataEvents = &dataEvents_;
    rig_.ctx.runtime.callbacks.onDataReceived = &RecordData;
    worst_.packetMs = PacketTimeoutMs(rig_.ctx);
    rest_.switches = rig_.ctx.core.switches;
    clientProc_ = rig_.ctx.runtime.bridge().savedWindowProc;
  }
  ~Soak() {
    g_dataEvents = nullptr;
    g_inDataEvent = nullptr;
  }

  Summary Run(uint64_t ops) {
    const uint64_t t0 = rig_.NowUs();
    for (uint64_t i = 0; i < ops && summary_.violations.size() < kMaxViolations; ++i) Step(i);
    summary_.operations = ops;
    summary_.virtualMs = (rig_.NowUs() - t0) / 1000;
    const sim::LineFaultCounts& line = rig_.bus.faultCounts();
    summary_.faults["line bytes corrupted"] = line.bytesCorrupted;
    summary_.faults["line bytes lost"] = line.bytesDropped;
    summary_.faults["acknowledgements lost"] = line.acksLost;
    return summary_;
  }

 private:
  static constexpr size_t kMaxViolations = 20;

  static sim::BusConfig BusConfigFor(uint64_t seed) {
    sim::BusConfig config;
    config.pacing = true;  // 19200 bps: frames take their wire time
    config.seed = seed;
    config.keepTrace = false;  // the wire log keeps one exchange at a time
    return config;
  }

  // --- one step ---------------------------------------------------------------

  struct Exchange {
    uint64_t index = 0;
    const OpKind* kind = nullptr;
    int32_t device = -1;  // index into kDevices; -1: nobody (absent or broadcast)
    uint8_t address = 0;
    uint64_t startUs = 0;
    uint64_t worstMs = 0;
    bool responseWaitBefore = false;
    std::string detail;
  };

  void Step(uint64_t index) {
    Exchange x;
    x.index = index;
    x.kind = PickKind();
    PickTarget(&x);
    x.startUs = rig_.NowUs();
    x.responseWaitBefore = rig_.ctx.core.flags.AllSet(SF_RESPONSE_WAIT);
    log_.BeginExchange(x.startUs);
    ClearRecords();
    InjectFaults(x);
    ++summary_.byKind[x.kind->name];

    const bool debug = debugOp_ == index;
    if (debug) {
      rig_.ctx.runtime.trace = [this](int direction, const uint8_t* bytes, int32_t n) {
        std::printf("driver %s at %" PRIu64 " us: %s (flags %08X, echo at %d, rx %d)\n", direction == 0 ? "wrote" : "parsed", rig_.NowUs(),
                    Hex(bytes, static_cast<size_t>(n)).c_str(), rig_.ctx.core.flags.word, rig_.ctx.runtime.echo->start(), ReceiveAccumulator(rig_.ctx)->length());
      };
    }
    const bool ok = Perform(&x);
    if (debug) rig_.ctx.runtime.trace = nullptr;

    const uint64_t elapsedMs = (rig_.NowUs() - x.startUs) / 1000;
    const uint64_t boundMs = x.worstMs + log_.DeviceFramesTo(kStation) * (worst_.NestedAckMs() + kSlackPerFrameMs);
    summary_.longestShare = std::max(summary_.longestShare, elapsedMs * 100 / std::max<uint64_t>(boundMs, 1));
    if (elapsedMs > boundMs) {
      Violation(x, "took " + std::to_string(elapsedMs) + " ms, worst case " + std::to_string(boundMs) + " ms");
    }
    CheckDataEvents(x);
    CheckAtRest(x);
    if (ok) ++summary_.successes[x.kind->name];
    ClearLateFaults();
  }

  const OpKind* PickKind() {
    uint64_t r = rng_.Next() % 1000;
    for (const OpKind& k : kOps) {
      if (r < k.weight) return &k;
      r -= k.weight;
    }
    return &kOps[0];
  }

  uint64_t Below(uint64_t n) { return rng_.Next() % n; }
  bool Chance(uint32_t perMille) { return Below(1000) < perMille; }

  void PickTarget(Exchange* x) {
    const Op op = x->kind->op;
    const bool mayBeAbsent = op != Op::kProgramDirect && op != Op::kMakeMap;
    const bool mayBroadcast = op == Op::kReboot || op == Op::kStop || op == Op::kQuery;
    if (mayBroadcast && Chance(op == Op::kQuery ? 30 : 200)) {
      x->address = 0;
    } else if (mayBeAbsent && Chance(50)) {
      x->address = kAbsent;
    } else {
      x->device = static_cast<int32_t>(Below(std::size(kDevices)));
      x->address = kDevices[x->device].address;
    }
  }

  sim::Device* Target(const Exchange& x) {
    return x.device < 0 ? nullptr : &rig_.bus.device(static_cast<size_t>(x.device));
  }

  void ClearRecords() {
    for (size_t i = 0; i < rig_.bus.device_count(); ++i) rig_.bus.device(i).ClearRecords();
    rig_.replies.clear();
    rig_.firmware.clear();
    rig_.remoteErrors.clear();
    rig_.found.clear();
    rig_.mapProgress.clear();
    rig_.progress.clear();
    rig_.errors.clear();
    rig_.fx.boxes.clear();
    dataEvents_.clear();
  }

  // --- faults ------------------------------------------------------------------

  void InjectFaults(const Exchange& x) {
    sim::Bus& bus = rig_.bus;
    const uint64_t t = x.startUs;
    if (Chance(100)) {
      bus.InjectRandomNoise(t + Below(60'000), 1 + Below(8));
      ++summary_.faults["noise bursts"];
    }
    if (Chance(50)) {
      // Late enough to miss the reply wait now and then.
      lateDevice_ = Below(bus.device_count());
      bus.device(lateDevice_).faults.extraReplyDelayUs = 50'000 + Below(350'000);
      ++summary_.faults["late replies armed"];
    }
    if (Chance(50)) {
      const uint8_t control = static_cast<uint8_t>(0xC1 + Below(4));  // types 1 to 4, six bytes
      sim::Bytes6 data;
      for (uint8_t& b : data) b = static_cast<uint8_t>(rng_.Next());
      bus.SendUnsolicited(Below(bus.device_count()), t + Below(80'000), kStation, control, data);
      ++summary_.faults["unsolicited frames"];
    }
    if (Chance(10)) {
      bus.SendLinkReset(Below(bus.device_count()), t + Below(80'000), 6, static_cast<uint8_t>(1 + Below(2)));
      ++summary_.faults["link resets"];
    }
  }

  void ClearLateFaults() {
    if (lateDevice_ < rig_.bus.device_count()) rig_.bus.device(lateDevice_).faults.extraReplyDelayUs = 0;
    lateDevice_ = SIZE_MAX;
  }

  // --- checks -----------------------------------------------------------------

  void Violation(const Exchange& x, const std::string& what) {
    std::ostringstream s;
    s << "op " << x.index << " " << x.kind->name << " to " << static_cast<int>(x.address) << " at "
      << x.startUs << " us" << (x.detail.empty() ? "" : " [" + x.detail + "]") << ": " << what;
    summary_.violations.push_back(s.str());
    ADD_FAILURE() << s.str();
    // The line so far, to see what the driver made of it.
    if (std::getenv("ZEVA_SOAK_TRACE") != nullptr) {
      for (const sim::TraceEntry& e : log_.trace()) std::printf("%s\n", sim::FormatTrace(e).c_str());
      for (const SentFrame& b : log_.hostBursts()) std::printf("host burst at %" PRIu64 ": %s\n", b.atUs, Hex(b.bytes.data(), b.bytes.size()).c_str());
      std::printf("now %" PRIu64 " us, echo check %d\n", rig_.NowUs(), rig_.ctx.core.switches.echoCheck);
    }
  }

  void Failed(const std::string& cause) { ++summary_.failures[cause]; }
  void Anomaly(const std::string& what) { ++summary_.anomalies[what]; }
  void Limit(const std::string& what) { ++summary_.limits[what]; }
  // ZEVA_SOAK_LIMITS=1 also reports each limit case as a failed check, with
  // its trace: for examining them one by one.
  void Limit(const Exchange& x, const std::string& what) {
    Limit(what);
    if (showLimits_) Violation(x, "limit: " + what);
  }

  static constexpr const char* kDamagedFrameToDevice = "device took a damaged frame that passed its check";
  static constexpr const char* kAckOfAnotherFrame = "acknowledgement of another frame taken (acks name no frame)";
  static constexpr const char* kSwallowedByTornFrame =
      "frame taken by the receivers into a frame cut short before it (its echo intact)";
  static constexpr const char* kRepeatPassedEndCheck =
      "normal-mode repeat stored, the program's 8-bit end check passed";

  // Counts a frame the driver took that no device sent as it was sent:
  // true when the wire format explains it.
  bool CountedAsLimit(const Exchange& x, Origin origin) {
    switch (origin) {
      case Origin::kCheckPassedOnDamage:
        Limit(x, "frame check passed on damaged bytes");
        return true;
      case Origin::kCheckPassedOnJoin:
        Limit(x, "frame check passed on bytes of two bursts or across a lost byte");
        return true;
      case Origin::kSent:
      case Origin::kNowhere:
        break;
    }
    return false;
  }

  // The first frame from `source` that reached the station and satisfies
  // `matches`, by origin; kNowhere when none does.
  template <typename Matches>
  Origin FindOrigin(uint8_t source, Matches&& matches) const {
    for (const bool withLineMade : {false, true}) {
      for (const Candidate& c : log_.CandidatesFrom(source, withLineMade)) {
        if (matches(c.bytes)) return c.origin;
      }
    }
    return Origin::kNowhere;
  }

  // An answer handed to the client: it must be bytes a device sent.
  bool CheckOrigin(const Exchange& x, uint8_t source, const uint8_t* data, const char* what) {
    const Origin origin = log_.OriginOf(source, data);
    if (showLimits_ && origin != Origin::kSent) {
      for (const Candidate& c : log_.CandidatesFrom(source)) {
        if (std::equal(data, data + 6, DeliveredData(c.bytes).begin())) std::printf("%s: %s\n", what, c.how.c_str());
      }
    }
    if (origin == Origin::kSent) return true;
    if (!CountedAsLimit(x, origin)) Violation(x, std::string(what) + " that no device sent: " + Hex(data, 6));
    return false;
  }

  // The first time the host wrote `frame` in this exchange.
  uint64_t FirstWrite(const Exchange& x, const Bytes& frame) const {
    for (const SentFrame& b : log_.hostBursts()) {
      if (b.bytes == frame) return b.atUs;
    }
    return x.startUs;
  }

  // A frame the target never heard was reported delivered: only the line
  // can explain that, with a frame check passed on damage or an
  // acknowledgement sent for another frame.
  void JudgeUnheard(const Exchange& x, const sim::Device& target, const Bytes& frame, const std::string& what) {
    if (log_.HeardDamaged(target)) {
      Limit(x, kDamagedFrameToDevice);
    } else if (log_.AckOfAnotherFrameArrived(target, FirstWrite(x, frame))) {
      Limit(x, kAckOfAnotherFrame);
    } else if (log_.DamagedAckArrived(target.address(), FirstWrite(x, frame))) {
      // Two damaged bytes, or bytes of two bursts, that pass the short
      // frame's check with the acknowledgement bit set.
      Limit(x, "short-frame check passed on damaged bytes, read as an acknowledgement");
    } else {
      Violation(x, what);
    }
  }

  void CheckDataEvents(const Exchange& x) {
    for (const DataEvent& e : dataEvents_) {
      CheckOrigin(x, static_cast<uint8_t>(e.source), e.data.data(), "data event");
    }
    summary_.anomalies["data events (unsolicited or late)"] += dataEvents_.size();
  }

  void CheckAtRest(const Exchange& x) {
    const DriverContext& ctx = rig_.ctx;
    const uint32_t busy = ctx.core.flags.word & (SF_TX_ACTIVE | SF_ECHO_PENDING);
    if (busy != 0) Violation(x, "flags left set: " + std::to_string(busy));
    // A response wait that timed out stays armed by design until a later
    // wait, a matching frame or a link reset clears it; it must not appear
    // from an operation that never waited for a response.
    if (ctx.core.flags.AllSet(SF_RESPONSE_WAIT) && !x.responseWaitBefore) {
      const bool waited = x.kind->op == Op::kSendDataResponse || x.kind->op == Op::kProgramDirect;
      if (!waited) Violation(x, "response wait armed by an operation without one");
      Anomaly("response wait left armed after a timeout");
    }
    if (ctx.transact.requests->count() != 0) Violation(x, "requests left: " + std::to_string(ctx.transact.requests->count()));
    if (ctx.runtime.echo->writes() != 0) {
      Violation(x, "echo still awaited");
    }
    if (ctx.transact.lastDestination != 0 || ctx.transact.awaitedResponseCode != 0 || ctx.transact.receiveLoop != ReceiveLoop::kIdle ||
        ctx.transact.rawSendActive != 0 || ctx.services.mapRunning != 0 || ctx.services.mapAbortRequested != 0) {
      Violation(x, "transmission state left behind");
    }
    if (!(RestState{ctx.core.switches} == rest_)) Violation(x, "switches changed");
    if (IsOpen(ctx) == 0) Violation(x, "port left closed");
    // Every wait serves the client's queue, so bytes wait unread only until
    // their data event is served; one that went astray is repeated.
    if (const auto since = rig_.fx.platform.UnreadSinceUs(ctx.core.settings.port)) {
      const uint64_t unreadMs = (rig_.NowUs() - *since) / 1000;
      if (unreadMs > platform::kDataEventRepeatMs + kSlackPerFrameMs) {
        Violation(x, "bytes left unread for " + std::to_string(unreadMs) + " ms: data events stopped");
      }
    }
  }

  static std::string Hex(const uint8_t* b, size_t n) {
    std::string s;
    char part[4];
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(part, sizeof part, "%02X ", b[i]);
      s += part;
    }
    return s;
  }

  // The frames of a message as the transmitter builds them.
  static std::vector<Bytes> MessageFrames(uint8_t destination, uint8_t type, const Bytes& data, bool alternating,
                                          bool acknowledged) {
    std::vector<Bytes> frames;
    const size_t n = std::max<size_t>(data.size(), 1);
    for (size_t offset = 0, i = 0; offset < n; offset += 6, ++i) {
      const size_t count = std::min<size_t>(data.size() - std::min(offset, data.size()), 6);
      uint8_t control = static_cast<uint8_t>(link::CountField(static_cast<int>(count)) | type);
      if (alternating && i % 2 == 1) control |= link::kAlternationBit;
      if (!acknowledged) control |= link::kNoAckWanted;
      uint8_t bytes[6] = {};
      for (size_t k = 0; k < 6 && offset + k < data.size(); ++k) bytes[k] = data[offset + k];
      const link::DataFrame f = link::EncodeDataFrame(2, destination, kStation, control, bytes);
      frames.emplace_back(f.begin(), f.end());
    }
    return frames;
  }

  // In normal mode a body frame repeated after a lost acknowledgement is
  // stored again. The device's end check (the length, and the 8-bit sum of
  // the stored frames' check bytes) passes when the frames it displaced add
  // up to the same sum. True when that is what the device holds: the body
  // frames as it heard them, in order, cut at the announced length, with
  // one of them heard more than once, and the sum as announced.
  static bool RepeatPassedTheEndCheck(const sim::Device& device, const sim::ProgramReceipt& receipt) {
    Bytes stored;
    uint8_t sum = 0;
    bool repeated = false;
    const Bytes* previous = nullptr;
    for (const sim::HeardFrame& h : device.heard()) {
      if (h.bytes.size() != link::kDataFrameSize || link::ControlType(h.bytes[3]) != 2) continue;
      if (stored.size() >= receipt.announcedLength) break;
      repeated = repeated || (previous != nullptr && *previous == h.bytes);
      previous = &h.bytes;
      const size_t count = std::min<size_t>(link::ControlCount(h.bytes[3]), 6);
      stored.insert(stored.end(), h.bytes.begin() + 4, h.bytes.begin() + 4 + static_cast<std::ptrdiff_t>(count));
      sum = static_cast<uint8_t>(sum + h.bytes[10]);
    }
    return repeated && stored == receipt.bytes && sum == receipt.announcedChecksum;
  }

  // The first data frame the host wrote to `device` in this exchange that
  // the device never heard.
  const Bytes* FirstUnheardFrame(const sim::Device& device) const {
    for (const SentFrame& b : log_.hostBursts()) {
      if (b.bytes.size() == link::kDataFrameSize && b.bytes[1] == device.address() && !Heard(device, b.bytes)) {
        return &b.bytes;
      }
    }
    return nullptr;
  }

  // True when a frame the host wrote in this exchange reached the line's
  // receivers only inside garbage that began before it: bytes of a frame
  // cut short, which the receivers were still collecting.
  bool SwallowedByATornFrame() const {
    for (const SentFrame& b : log_.hostBursts()) {
      for (const sim::TraceEntry& e : log_.trace()) {
        if (e.kind == sim::TraceEntry::Kind::kGarbage && e.startUs < b.atUs &&
            std::search(e.bytes.begin(), e.bytes.end(), b.bytes.begin(), b.bytes.end()) != e.bytes.end()) {
          return true;
        }
      }
    }
    return false;
  }

  static bool Heard(const sim::Device& device, const Bytes& frame) {
    for (const sim::HeardFrame& h : device.heard()) {
      if (h.bytes == frame) return true;
    }
    return false;
  }

  static size_t CommandsOf(const sim::Device& device, sim::Command command) {
    size_t n = 0;
    for (const sim::CommandRecord& c : device.commands()) n += c.command == command ? 1 : 0;
    return n;
  }

  // An acknowledged message: a success means the target heard every frame;
  // a failure is counted by what the line shows.
  void JudgeAcked(const Exchange& x, int32_t result, const std::vector<Bytes>& frames, bool response) {
    const sim::Device* target = const_cast<Soak*>(this)->Target(x);
    if (result == kTxDone) {
      if (target == nullptr) {
        Violation(x, "delivered to nobody");
        return;
      }
      for (const Bytes& f : frames) {
        if (Heard(*target, f)) continue;
        JudgeUnheard(x, *target, f, "reported delivered, device never heard " + Hex(f.data(), f.size()));
      }
      return;
    }
    if (result != kTxFailed) {
      Violation(x, "result " + std::to_string(result));
      return;
    }
    if (target == nullptr) {
      Failed("nobody there to acknowledge");
      return;
    }
    for (const Bytes& f : frames) {
      if (log_.HostSent(f) >= static_cast<size_t>(kSendAttempts)) {
        Failed("no acknowledgement after five attempts");
        return;
      }
    }
    Failed(response ? "response message missing" : "ended without five attempts");
  }

  // --- the operations ----------------------------------------------------------

  Bytes RandomBytes(size_t n) {
    Bytes b(n);
    for (uint8_t& v : b) v = static_cast<uint8_t>(rng_.Next());
    return b;
  }

  bool Perform(Exchange* x) {
    DriverContext& ctx = rig_.ctx;
    const WorstCase& w = worst_;
    switch (x->kind->op) {
      case Op::kSendAcked:
      case Op::kSendUnacked: {
        const bool acked = x->kind->op == Op::kSendAcked;
        // Codes 5 and 250 to 254 are requests and commands; 0x10-0x7F are plain queries.
        const uint8_t type = static_cast<uint8_t>(0x10 + Below(0x70));
        Bytes message = RandomBytes(6);
        for (int32_t i = 0; i < 4; ++i) ctx.transact.outputBuffer[i] = message[static_cast<size_t>(i)];
        message[4] = 0;
        message[5] = type;
        x->worstMs = (acked ? w.AckedFrameMs() : w.UnackedFrameMs()) + kSlackPerFrameMs;
        const int32_t result = Send(ctx, x->address, type, acked ? kModeNormal : kModeUnacked);
        const std::vector<Bytes> frames = MessageFrames(x->address, 1, message, false, acked && x->address != 0);
        if (acked) {
          JudgeAcked(*x, result, frames, false);
          return result == kTxDone;
        }
        if (result != kTxDone) Violation(*x, "unacknowledged send gave " + std::to_string(result));
        const sim::Device* target = Target(*x);
        if (target != nullptr && !Heard(*target, frames[0])) Anomaly("unacknowledged frame lost on the line");
        return result == kTxDone;
      }
      case Op::kSendData:
      case Op::kSendDataResponse: {
        const bool response = x->kind->op == Op::kSendDataResponse;
        // Types 3 and 4: type 2 from this station is a program body to a
        // device that was announced one.
        const uint8_t type = static_cast<uint8_t>(3 + Below(2));
        const Bytes message = RandomBytes(1 + Below(30));
        const size_t nFrames = (message.size() + 5) / 6;
        x->detail = std::to_string(message.size()) + " bytes";
        x->worstMs = nFrames * ((response ? w.ResponseFrameMs() : w.AckedFrameMs()) + kSlackPerFrameMs);
        sim::Device* target = Target(*x);
        if (response) {
          if (target != nullptr) target->set_response_code(kResponseCode);
          config::SetResponseMsg(ctx, kResponseCode);
        }
        const int32_t result = SendData(ctx, x->address, response ? kModeAlternating : kModeNormal, type, message.data(),
                                        static_cast<int32_t>(message.size()));
        if (target != nullptr) target->set_response_code(0);
        JudgeAcked(*x, result, MessageFrames(x->address, type, message, response, true), response);
        return result == kTxDone;
      }
      case Op::kQuery:
        return DoQuery(x);
      case Op::kRemoteError:
        return DoRemoteError(x);
      case Op::kFirmwareInfo:
        return DoFirmwareInfo(x);
      case Op::kClearError: {
        x->worstMs = w.AckedFrameMs() + kSlackPerFrameMs;
        const int32_t result = ClearRemoteError(ctx, x->address);
        const sim::Device* target = Target(*x);
        if (result == 1) {
          if (target == nullptr) {
            Violation(*x, "clear reported sent to nobody");
          } else if (CommandsOf(*target, sim::Command::kClearError) == 0) {
            const Bytes command = MessageFrames(x->address, 1, {0, 0, 0, 0, 0, sim::kCodeClearError}, false, true)[0];
            JudgeUnheard(*x, *target, command, "clear reported sent, no device obeyed it");
          }
        } else {
          Failed(target == nullptr ? "nobody there to acknowledge" : "command not acknowledged");
        }
        return result == 1;
      }
      case Op::kReboot:
      case Op::kStop: {
        const bool reboot = x->kind->op == Op::kReboot;
        x->worstMs = w.UnackedFrameMs() + kSlackPerFrameMs;
        const int32_t result = reboot ? Reboot(ctx, x->address) : Stop(ctx, x->address);
        if (result != 1) Violation(*x, "unacknowledged command gave " + std::to_string(result));
        const sim::Device* target = Target(*x);
        if (target != nullptr && CommandsOf(*target, reboot ? sim::Command::kReboot : sim::Command::kStop) == 0) {
          Anomaly("unacknowledged command lost on the line");
        }
        return result == 1;
      }
      case Op::kResetComm: {
        // Judged by its echo: five damaged echoes at most.
        x->worstMs = kSendAttempts * (w.UnackedFrameMs() + kSlackPerFrameMs);
        const int32_t result = ResetComm(ctx, x->address);
        const sim::Device* target = Target(*x);
        if (result == 1) {
          // An intact echo means the line carried the frame intact to
          // everyone; but receivers still inside a device's frame cut short
          // by a lost byte take its first bytes as the rest of that frame.
          if (target != nullptr && CommandsOf(*target, sim::Command::kResetComm) == 0) {
            if (SwallowedByATornFrame()) {
              Limit(*x, kSwallowedByTornFrame);
            } else {
              Violation(*x, "reset reported sent with an intact echo, device never got it");
            }
          }
        } else {
          Failed("short frame echo damaged five times");
        }
        return result == 1;
      }
      case Op::kMakeMap:
        return DoMakeMap(x);
      case Op::kProgramDirect:
        return DoProgramDirect(x);
      case Op::kWindowChange:
        return DoWindowChange(x);
      case Op::kWriteFromCallback:
        return DoWriteFromCallback(x);
      case Op::kOffTheBus:
        return DoOffTheBus(x);
    }
    return false;
  }

  // The client replaces its window while a data event is queued for the old
  // one: it detaches the driver (SetClientHWND(NULL)), serves its queue and
  // opens with the new window, or it destroys the old window first. Then a
  // query, judged as any. The event lost on the way must not leave the
  // port silent (checked at rest).
  bool DoWindowChange(Exchange* x) {
    DriverContext& ctx = rig_.ctx;
    zeva::testing::TestPlatform& platform = rig_.fx.platform;
    const uint8_t control = static_cast<uint8_t>(0xC1 + Below(4));
    sim::Bytes6 data;
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng_.Next());
    rig_.bus.SendUnsolicited(Below(rig_.bus.device_count()), rig_.NowUs() + 500, kStation, control, data);
    const uint32_t until = platform.TickCount() + 50;
    MSG msg;
    while (!PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) && static_cast<int32_t>(until - platform.TickCount()) > 0) {
      platform.WaitForMessageOrTick(until);
    }
    const HWND old = rig_.window;
    const HWND next = CreateMessageWindow(clientProc_);
    const bool detachFirst = Chance(500);
    x->detail = detachFirst ? "detached, queue served" : "old window destroyed";
    if (detachFirst) {
      SetClientHWND(ctx, nullptr);
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    DestroyWindow(old);
    rig_.window = next;
    if (OpenCOM(ctx, next) != 0) Violation(*x, "OpenCOM with the port open did not give 0");
    const bool ok = DoQuery(x);
    x->worstMs += 50 + kSlackPerFrameMs;
    return ok;
  }

  // The client writes from a callback while a Send waits for its
  // acknowledgement: raw bytes to another device, or a test stream. The
  // inner write must hand the outer transmission back as it found it.
  bool DoWriteFromCallback(Exchange* x) {
    DriverContext& ctx = rig_.ctx;
    if (x->device < 0) {
      x->device = 0;
      x->address = kDevices[0].address;
    }
    sim::Device& target = *Target(*x);
    // The acknowledgement comes late, so the device's talk lands inside the wait.
    target.faults.extraAckDelayUs = 30'000;
    const size_t other = (static_cast<size_t>(x->device) + 1 + Below(std::size(kDevices) - 1)) % std::size(kDevices);
    const bool raw = Chance(500);
    x->detail = raw ? "raw frame" : "test stream";
    // Plain data that wants no acknowledgement: the device it goes to stays
    // silent, so nothing it says can be taken for another frame's answer.
    Bytes rawFrame = {0xFE, kDevices[other].address, kStation,
                      static_cast<uint8_t>(link::CountField(6) | 3 | link::kNoAckWanted)};
    for (uint8_t& b : RandomBytes(6)) rawFrame.push_back(b);
    rawFrame.push_back(0);
    const int32_t fill = static_cast<int32_t>(rng_.Next() & 0xFF);
    const int32_t count = static_cast<int32_t>(1 + Below(8));
    g_inDataEvent = [this, x, &ctx, raw, rawFrame, fill, count]() mutable {
      if (!ctx.core.flags.AllSet(SF_TX_ACTIVE)) return;  // not inside the transmission after all
      const uint8_t destination = ctx.transact.lastDestination;
      // A device's link reset taken meanwhile clears the station's link
      // state, the outer transmission's with it.
      bool linkReset = false;
      auto outerTrace = ctx.runtime.trace;
      ctx.runtime.trace = [&](int direction, const uint8_t* bytes, int32_t n) {
        if (direction == 1 && n < link::kDataFrameSize && (bytes[3] & link::kAckBit) == 0) linkReset = true;
        if (outerTrace) outerTrace(direction, bytes, n);
      };
      const int32_t result = raw ? SendRaw(ctx, rawFrame.data(), static_cast<int32_t>(rawFrame.size()), nullptr, 1)
                                 : TestStream(ctx, fill, count);
      ctx.runtime.trace = outerTrace;
      if (!raw && result != 1) Violation(*x, "test stream gave " + std::to_string(result));
      if (!linkReset && (!ctx.core.flags.AllSet(SF_TX_ACTIVE) || ctx.transact.lastDestination != destination)) {
        Violation(*x, "the write from the callback took over the outer transmission");
      }
    };
    const sim::Bytes6 talk = {1, 2, 3, 4, 5, static_cast<uint8_t>(rng_.Next())};
    rig_.bus.SendUnsolicited(other, rig_.NowUs() + 2'000, kStation, 0xC1, talk);
    const uint8_t type = static_cast<uint8_t>(0x10 + Below(0x70));
    Bytes message = RandomBytes(6);
    for (int32_t i = 0; i < 4; ++i) ctx.transact.outputBuffer[i] = message[static_cast<size_t>(i)];
    message[4] = 0;
    message[5] = type;
    x->worstMs = worst_.AckedFrameMs() + worst_.UnackedFrameMs() + 2 * kSlackPerFrameMs;
    const int32_t result = Send(ctx, x->address, type, kModeNormal);
    target.faults.extraAckDelayUs = 0;
    g_inDataEvent = nullptr;
    JudgeAcked(*x, result, MessageFrames(x->address, 1, message, false, true), false);
    return result == kTxDone;
  }

  // A device service at an address past 127: its low byte would reach a
  // device (256 + its address), every device (256) or nobody. Nothing may
  // go out and the service must say it did nothing.
  bool DoOffTheBus(Exchange* x) {
    DriverContext& ctx = rig_.ctx;
    const int32_t choices[] = {256, 256 + x->address, 128 + static_cast<int32_t>(Below(128)),
                               0x8000 + x->address};
    const int32_t address = choices[Below(std::size(choices))];
    x->detail = "address " + std::to_string(address);
    x->worstMs = kSlackPerFrameMs;
    int32_t result = 0;
    switch (Below(7)) {
      case 0: result = Stop(ctx, address); break;
      case 1: result = Reboot(ctx, address); break;
      case 2: result = ClearRemoteError(ctx, address); break;
      case 3: result = ResetComm(ctx, address); break;
      case 4: result = GetFirmwareInfo(ctx, address); break;
      case 5: result = GetRemoteError(ctx, address); break;
      default: {
        const uint8_t request[6] = {1, 2, 3, 4, 0, 0x20};
        result = Query(ctx, address, request, 1, 0);
      }
    }
    if (result != 0) Violation(*x, "gave " + std::to_string(result));
    if (!log_.hostBursts().empty()) Violation(*x, "the station wrote to the line");
    for (size_t i = 0; i < rig_.bus.device_count(); ++i) {
      if (!rig_.bus.device(i).commands().empty()) Violation(*x, "a device got a command");
    }
    return result == 0;
  }

  // The request-and-answer operations share their judgement: a success
  // hands the client bytes a device sent, and a fresh answer means the
  // device heard the request; a failure is counted by cause.
  void JudgeRequestFailure(const Exchange& x) {
    if (!rig_.errors.empty() || !rig_.fx.boxes.boxes().empty()) {
      Failed("request not acknowledged");
    } else {
      Failed(Target(x) == nullptr && x.address != 0 ? "nobody there to answer" : "no answer to four requests");
    }
  }

  bool DoQuery(Exchange* x) {
    DriverContext& ctx = rig_.ctx;
    x->worstMs = worst_.StationRequestMs() + 4 * kSlackPerFrameMs;
    // The operation's number makes every request, and so its answer, unique.
    uint8_t request[6] = {static_cast<uint8_t>(x->index), static_cast<uint8_t>(x->index >> 8),
                          static_cast<uint8_t>(x->index >> 16), static_cast<uint8_t>(x->index >> 24),
                          static_cast<uint8_t>(rng_.Next()), static_cast<uint8_t>(0x10 + Below(0x70))};
    const int32_t tag = static_cast<int32_t>(x->index);
    const int32_t result = Query(ctx, x->address, request, 1, tag);
    if (result != 1) {
      if (!rig_.replies.empty()) Violation(*x, "failed query delivered an answer");
      JudgeRequestFailure(*x);
      return false;
    }
    if (rig_.replies.size() != 1) {
      Violation(*x, "answers delivered: " + std::to_string(rig_.replies.size()));
      return true;
    }
    const services_test::QueryReplyEvent& reply = rig_.replies[0];
    if (reply.tag != tag) Violation(*x, "tag changed");
    if (x->address != 0 && reply.address != x->address) Violation(*x, "answer from another station");
    if (!CheckOrigin(*x, static_cast<uint8_t>(reply.address), reply.reply.data(), "query answer")) return true;
    sim::Bytes6 asked;
    std::memcpy(asked.data(), request, 6);
    const sim::Bytes6 expected = sim::Device::DefaultQueryReply(asked);
    if (!std::equal(expected.begin(), expected.end(), reply.reply.begin())) {
      Anomaly("query took an earlier or unsolicited answer");
    }
    return true;
  }

  bool DoRemoteError(Exchange* x) {
    x->worstMs = worst_.StationRequestMs() + 4 * kSlackPerFrameMs;
    sim::Device* target = Target(*x);
    if (target != nullptr && Chance(200)) {
      // Now and then the device has a run-time error of its own to report.
      const Bytes record = RandomBytes(6);
      sim::Bytes6 r;
      std::copy(record.begin(), record.end(), r.begin());
      target->set_remote_error(r);
    }
    const int32_t result = GetRemoteError(rig_.ctx, x->address);
    if (result != 1) {
      if (!rig_.remoteErrors.empty()) Violation(*x, "failed request delivered a report");
      JudgeRequestFailure(*x);
      return false;
    }
    if (rig_.remoteErrors.size() != 1) {
      Violation(*x, "reports delivered: " + std::to_string(rig_.remoteErrors.size()));
      return true;
    }
    const services_test::RemoteErrorEvent& e = rig_.remoteErrors[0];
    if (e.address != x->address) Violation(*x, "report for another address");
    // The report must be the text of a record a device sent.
    const Origin origin = FindOrigin(x->address, [&e](const Bytes& f) {
      // What the driver hands on: a frame made by the line may carry a
      // count below six, and the positions after it are passed as 0.
      const Bytes data = DeliveredData(f);
      char text[services::kRemoteErrorTextSize];
      services::FormatRemoteErrorReport(data.data(), text);
      return e.report == text && e.code == data[5];
    });
    if (origin != Origin::kSent && !CountedAsLimit(*x, origin)) {
      Violation(*x, "report of a record no device sent: " + e.report);
    }
    if (target != nullptr && CommandsOf(*target, sim::Command::kRemoteError) == 0) {
      Anomaly("remote error took an earlier or unsolicited answer");
    }
    return true;
  }

  bool DoFirmwareInfo(Exchange* x) {
    x->worstMs = worst_.StationRequestMs() + 4 * kSlackPerFrameMs;
    const int32_t result = GetFirmwareInfo(rig_.ctx, x->address);
    if (result != 1) {
      if (!rig_.firmware.empty()) Violation(*x, "failed request delivered firmware info");
      JudgeRequestFailure(*x);
      return false;
    }
    if (rig_.firmware.size() != 1) {
      Violation(*x, "firmware infos delivered: " + std::to_string(rig_.firmware.size()));
      return true;
    }
    const services_test::FirmwareInfo& info = rig_.firmware[0];
    const Origin origin = FindOrigin(x->address, [&info](const Bytes& f) { return Matches(info, f); });
    if (origin != Origin::kSent && !CountedAsLimit(*x, origin)) {
      Violation(*x, "firmware info no device sent: " + info.serial + " " + info.versionText);
    }
    const sim::Device* target = Target(*x);
    if (target != nullptr && CommandsOf(*target, sim::Command::kIdentify) == 0) {
      Anomaly("identification took an earlier or unsolicited answer");
    }
    return true;
  }

  static bool Matches(const services_test::FirmwareInfo& info, const Bytes& frame) {
    const Bytes d = DeliveredData(frame);  // as the driver hands it on
    char serial[16];
    std::snprintf(serial, sizeof serial, "S%02X%02X%02X", d[0], d[1], d[2]);
    char version[16];
    std::snprintf(version, sizeof version, "%d.%d", d[4], d[5]);
    return info.address == frame[2] && info.serial == serial && info.product == d[3] &&
           info.versionHigh == d[4] && info.versionLow == d[5] && info.versionText == version;
  }

  bool DoMakeMap(Exchange* x) {
    // Each probe waits for its echo and then for an answer; answers from
    // other stations restart the answer wait (counted as nested frames).
    x->worstMs = 127 * (2 * worst_.UnackedFrameMs() + kSlackPerFrameMs) +
                 log_.DeviceFramesTo(kStation) * 2 * worst_.UnackedFrameMs();
    const int32_t result = MakeMap(rig_.ctx);
    // Answers from other stations that arrived during the map restart the
    // wait: they are counted when the time is judged.
    if (result != 1) {
      Violation(*x, "map gave " + std::to_string(result));
      return false;
    }
    if (rig_.mapProgress.empty() || rig_.mapProgress.back() != 0) Violation(*x, "map did not end with progress 0");
    for (const services_test::DeviceFound& found : rig_.found) {
      // The station's own probe read back as an answer is no exception.
      const Origin origin = FindOrigin(static_cast<uint8_t>(found.address), [&found](const Bytes& f) {
        char serial[16];
        std::snprintf(serial, sizeof serial, " S%02X%02X%02X", f[4], f[5], f[6]);
        return found.serial == serial && found.product == f[7] && found.versionHigh == f[8] &&
               found.versionLow == f[9];
      });
      if (origin != Origin::kSent && !CountedAsLimit(*x, origin)) {
        Violation(*x, "map found a device that never answered: " + std::to_string(found.address));
      }
    }
    for (const DeviceSpec& d : kDevices) {
      const bool found = std::any_of(rig_.found.begin(), rig_.found.end(),
                                     [&d](const services_test::DeviceFound& f) { return f.address == d.address; });
      if (!found) Failed("map missed a device");
    }
    return true;
  }

  bool DoProgramDirect(Exchange* x) {
    const DeviceSpec& spec = kDevices[x->device];
    sim::Device& device = *Target(*x);
    const Bytes program = RandomBytes(1 + Below(40));
    const size_t nFrames = (program.size() + 5) / 6;
    const bool alternating = spec.versionHigh != 0;
    x->detail = std::to_string(program.size()) + " bytes";
    // The identification, the commit after its pause, and the body; a body
    // frame in normal mode pauses after its acknowledgement.
    x->worstMs = worst_.StationRequestMs() + 200 + worst_.AckedFrameMs() +
                 nFrames * ((alternating ? worst_.ResponseFrameMs() : worst_.AckedFrameMs() + kProgrammingPauseMs) +
                            kSlackPerFrameMs) +
                 6 * kSlackPerFrameMs;
    char serial[16];
    std::snprintf(serial, sizeof serial, "S%06X", static_cast<unsigned>(spec.serial));
    const int32_t result = ProgramDirect(rig_.ctx, serial, spec.address, spec.product, 0, 0, program.data(),
                                         static_cast<int32_t>(program.size()));
    const sim::ProgramReceipt& receipt = device.program();
    const bool committed = CommandsOf(device, sim::Command::kCommitProgram) != 0;
    const bool taken = committed && receipt.status == sim::ProgramStatus::kOk;
    if (taken && receipt.bytes != program) {
      // A body frame damaged past the frame check is stored as it was heard.
      if (log_.HeardDamaged(device, 2)) {
        Limit(*x, kDamagedFrameToDevice);
      } else if (!alternating && RepeatPassedTheEndCheck(device, receipt)) {
        Limit(*x, kRepeatPassedEndCheck);
      } else {
        Violation(*x, "device accepted a program other than the one sent");
      }
      return result == 1;
    }
    if (result == 1) {
      if (taken) return true;
      // In normal mode a frame repeated after a lost acknowledgement is
      // stored twice; the device's length and checksum checks refuse it.
      const bool repeated = std::any_of(log_.hostBursts().begin(), log_.hostBursts().end(), [&](const SentFrame& b) {
        return b.bytes.size() == link::kDataFrameSize && link::ControlType(b.bytes[3]) == 2 &&
               log_.HostSent(b.bytes) > 1;
      });
      if (!alternating && repeated && committed &&
          (receipt.status == sim::ProgramStatus::kLengthMismatch ||
           receipt.status == sim::ProgramStatus::kChecksumMismatch)) {
        Anomaly("normal-mode repeat refused by the device's checks");
        return true;
      }
      // The device acknowledged what it heard: an announcement or body frame
      // damaged past the frame check.
      if (log_.HeardDamaged(device)) {
        Limit(*x, kDamagedFrameToDevice);
        return true;
      }
      // A frame it never heard (the commit, a body frame) took the
      // acknowledgement (and response) it had sent for an earlier one, held
      // back behind a late reply.
      const Bytes* unheard = FirstUnheardFrame(device);
      if (unheard != nullptr && log_.AckOfAnotherFrameArrived(device, FirstWrite(*x, *unheard))) {
        Limit(*x, kAckOfAnotherFrame);
        return true;
      }
      Violation(*x, "download reported done, device holds status " + std::to_string(static_cast<int>(receipt.status)));
      return true;
    }
    if (taken) Anomaly("program taken though the download reported failure");
    static const std::map<int32_t, std::string> kCauses = {
        {kProgramErrorNoAnswer, "download: target did not answer"},
        {kProgramErrorCommunication, "download: communication failed"},
        {kProgramErrorChannelBusy, "download: channel busy"},
        {kProgramErrorSerialMismatch, "download: serial mismatch"},
        {kProgramErrorWrongProduct, "download: wrong product"},
        {kProgramErrorVersionTooLow, "download: version too low"},
    };
    const auto cause = kCauses.find(rig_.ctx.services.lastProgramError);
    if (cause == kCauses.end()) {
      Violation(*x, "download failed with code " + std::to_string(rig_.ctx.services.lastProgramError));
    } else {
      // The identity is fixed; a mismatch can only be the line's doing, and
      // the answer must still be bytes a device sent.
      Failed(cause->second);
    }
    return false;
  }

  Rig rig_;
  WireLog log_;
  sim::Rng rng_;
  WorstCase worst_{};
  RestState rest_;
  Summary summary_;
  std::vector<DataEvent> dataEvents_;
  // ZEVA_SOAK_DEBUG_OP: print the frames the driver wrote and parsed in that operation.
  uint64_t debugOp_ = EnvNumber("ZEVA_SOAK_DEBUG_OP", UINT64_MAX);
  bool showLimits_ = EnvNumber("ZEVA_SOAK_LIMITS", 0) != 0;
  size_t lateDevice_ = SIZE_MAX;
  WNDPROC clientProc_ = nullptr;  // the client's own window procedure
};

void Print(const Summary& s, uint64_t seed) {
  std::printf("soak seed %" PRIu64 "\n%s", seed, s.Format().c_str());
  std::fflush(stdout);
}

TEST(Soak, MixedOperationsUnderFaultsStayConsistentWithTheWire) {
  const uint64_t ops = EnvNumber("ZEVA_SOAK_OPS", kDefaultOps);
  const uint64_t seed = EnvNumber("ZEVA_SOAK_SEED", kDefaultSeed);
  Soak soak(seed);
  const Summary s = soak.Run(ops);
  Print(s, seed);
  ::testing::Test::RecordProperty("operations", std::to_string(s.operations));
  ::testing::Test::RecordProperty("virtual_seconds", std::to_string(s.virtualMs / 1000));
  EXPECT_TRUE(s.violations.empty());
  // The run mixed every kind and the faults actually struck.
  for (const OpKind& k : kOps) {
    if (ops >= kDefaultOps) {
      EXPECT_GT(s.byKind.count(k.name), 0u) << k.name;
    }
  }
  EXPECT_GT(s.faults.at("line bytes corrupted"), 0u);
  EXPECT_GT(s.faults.at("acknowledgements lost"), 0u);
}

// The same seed gives the same run: a failure found by a long run can be
// replayed exactly.
TEST(Soak, SameSeedSameRun) {
  const Summary a = Soak(7).Run(150);
  const Summary b = Soak(7).Run(150);
  EXPECT_EQ(a.Format(), b.Format());
  EXPECT_EQ(a.virtualMs, b.virtualMs);
  EXPECT_NE(a.Format(), Soak(8).Run(150).Format());
}

}  // namespace
}  // namespace zeva::soak
