// The simulated RS-485 line: the host's adapter, any number of devices and
// the faults between them, in virtual time (microseconds).
//
// Everything that talks on the line (the host through its adapter, each
// device, the adapter itself, injected noise) puts bursts of bytes on the
// wire. The wire carries one burst at a time: a talker waits until the wire
// is quiet, so bursts never overlap (the adapter holds the host's bytes while
// a device talks; collisions are not modelled). With pacing on, every
// character takes (1 start + data bits + 1 parity + 1 stop) / bps on the
// wire, 11 bits at 8E1; without it a burst takes no time at all.
//
// Every listener sees the same bytes: the devices parse them with the codec,
// and the adapter hands them to the host, its own writes included (the echo).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/testing/test_platform.h"
#include "sim/device.h"
#include "sim/line_scanner.h"
#include "sim/rng.h"
#include "sim/trace.h"

namespace zeva::sim {

struct BusConfig {
  int32_t protocol = 2;      // 1 or 2, for every device on the line
  uint8_t localAddress = 1;  // the host's station address
  // The devices' bit rate. 0: whatever the host opens the port with. When
  // the host opens with another rate or character size, neither side can
  // read the other (the host sees line errors); the echo still works.
  int32_t bps = 0;
  uint8_t byteSize = 8;  // with a fixed bps
  bool echo = true;      // the adapter returns every byte the host writes
  bool pacing = false;   // bytes take their wire time
  uint64_t turnaroundUs = 1000;  // before each acknowledgement and reply
  // The adapter acknowledges on the host's behalf: it acknowledges the
  // devices' frames to the host and keeps the devices' acknowledgements from
  // the host.
  bool adapterAcks = false;
  uint64_t seed = 1;
  bool keepTrace = true;  // keep every TraceEntry in trace()
};

// Faults of the line itself, drawn per byte from the bus's generator.
struct LineFaults {
  double dropProbability = 0.0;     // the byte reaches nobody; the host sees a line error
  double corruptProbability = 0.0;  // every listener gets the same damaged byte
  // A device's acknowledgement never makes it onto the line (drawn per
  // acknowledgement; the frame it acknowledges was taken all the same).
  double ackLossProbability = 0.0;
};

// How often each line fault struck, for reports on long runs.
struct LineFaultCounts {
  uint64_t bytesDropped = 0;
  uint64_t bytesCorrupted = 0;
  uint64_t acksLost = 0;
};

// A burst as its talker put it on the wire, before any line fault.
struct Burst {
  Talker talker;
  uint8_t address = 0;  // a device's bus address when it talked
  uint64_t startUs = 0;
  TxKind kind = TxKind::kReply;
  const std::vector<uint8_t>* bytes = nullptr;  // valid during the call only
  // The frame a device's acknowledgement, reply or response answers, as the
  // device heard it; empty for other bursts. Valid during the call only.
  const std::vector<uint8_t>* answers = nullptr;
  // It waited behind a burst its talker delayed on purpose (a late reply);
  // see Transmission::queuedBehindLate.
  bool queuedBehindLate = false;
};

// One byte position of what the host's receiver got, in order: a byte (as
// the line delivered it, damage included) or a byte lost on the way, which
// the host only sees as a line error.
struct HostByte {
  uint64_t atUs = 0;
  Talker talker;
  uint64_t burstStartUs = 0;  // the start of the burst it belongs to
  uint8_t value = 0;          // as received; meaningless when lost
  bool damaged = false;       // the line changed it
  bool lost = false;          // it never arrived
};

class Bus : public testing::VirtualLine {
 public:
  explicit Bus(const BusConfig& config = {});
  ~Bus() override;
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // --- devices ------------------------------------------------------------
  Device& AddDevice(const DeviceConfig& config);
  size_t device_count() const { return devices_.size(); }
  Device& device(size_t index) { return *devices_.at(index); }
  // The first device that currently has `address`, or nullptr.
  Device* FindDevice(uint8_t address);

  // --- line settings and faults -------------------------------------------
  const BusConfig& config() const { return config_; }
  LinkSettings link() const { return {config_.protocol, config_.localAddress, config_.turnaroundUs}; }
  void SetEcho(bool on) { config_.echo = on; }
  void SetPacing(bool on) { config_.pacing = on; }
  void SetTurnaroundUs(uint64_t us) { config_.turnaroundUs = us; }
  void SetAdapterAcks(bool on) { config_.adapterAcks = on; }
  // The adapter damages byte `index` of the echo of the next host write (-1:
  // its last byte); only the host's copy is damaged, the devices get the
  // byte intact.
  void CorruptNextEcho(int32_t index = -1);
  // The host's receiver loses byte `index` of the echo of its write number
  // `write` from now (0: the next write), as a framing error: the line error
  // is reported, the byte never arrives. The devices get it intact.
  void LoseEchoByte(int32_t write, int32_t index);
  LineFaults lineFaults;
  const LineFaultCounts& faultCounts() const { return faultCounts_; }

  // --- happenings at a virtual time ---------------------------------------
  void InjectNoise(uint64_t atUs, std::vector<uint8_t> bytes);
  // `count` bytes from the bus's generator.
  void InjectRandomNoise(uint64_t atUs, size_t count);
  // Any bytes from device `index` (it waits for a quiet wire like any burst).
  void SendFromDevice(size_t index, uint64_t atUs, std::vector<uint8_t> bytes,
                      TxKind kind = TxKind::kUnsolicited);
  // A data frame from device `index`, built with the codec from the
  // device's address at the time of the call. With type 0 to the host it
  // asks the host for an echo.
  void SendUnsolicited(size_t index, uint64_t atUs, uint8_t destination, uint8_t control,
                       const Bytes6& data);
  // The short frame of type `type` (6 or 7) without the acknowledgement
  // bit and with `code` (1 or 2 reset the host's link state) to the host.
  void SendLinkReset(size_t index, uint64_t atUs, uint8_t type, uint8_t code);
  // From `atUs` the line is gone: the host sees a hang-up, its writes are
  // lost, and nothing reaches it until Replug.
  void Unplug(uint64_t atUs);
  void Replug(uint64_t atUs);
  bool unplugged() const { return unplugged_; }

  // --- trace ---------------------------------------------------------------
  const std::vector<TraceEntry>& trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  std::function<void(const TraceEntry&)> onTrace;
  // Every burst as it starts, intact: what a talker meant to send, for
  // comparing with what the host made of it after the line's faults.
  std::function<void(const Burst&)> onBurst;
  // Every byte position headed for the host while its port is open, in the
  // order the host's receiver gets them.
  std::function<void(const HostByte&)> onHostByte;

  // How far the line has run.
  uint64_t now() const { return nowUs_; }
  // Wire time of `n` characters of the line (0 without pacing).
  uint64_t WireTimeUs(size_t n) const;

  // --- VirtualLine ----------------------------------------------------------
  void HostOpened(const platform::SerialConfig& config) override;
  void HostClosed() override;
  void HostWrite(const uint8_t* bytes, size_t n, uint64_t nowUs) override;
  std::optional<uint64_t> NextEventUs() override;
  void AdvanceTo(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* lineError,
                 bool* hungUp) override;

 private:
  // Outboxes: one per talker. 0 host, 1 adapter, 2 noise, 3.. devices.
  static constexpr size_t kHostBox = 0;
  static constexpr size_t kAdapterBox = 1;
  static constexpr size_t kNoiseBox = 2;
  static constexpr size_t kFirstDeviceBox = 3;

  struct Outbox {
    std::deque<Transmission> queue;
    bool scheduled = false;  // a kTransmit event is pending for the head
    uint64_t busyUntil = 0;  // end of this talker's last burst
  };

  struct Event {
    enum class Kind : uint8_t { kTransmit, kByte, kInject, kUnplug, kReplug };
    Kind kind = Kind::kTransmit;
    size_t box = 0;
    LineByte byte;
    bool toHost = false;
    bool corruptEcho = false;
    bool loseEcho = false;
    bool lastOfBurst = false;
    uint64_t burstStartUs = 0;
    Transmission tx;  // kInject
  };

  void Schedule(uint64_t atUs, Event event);
  void RunUntil(uint64_t nowUs);
  void Handle(uint64_t atUs, Event& event);
  void Enqueue(size_t box, Transmission tx, uint64_t atUs);
  void Transmit(size_t box, uint64_t atUs);
  void StartBurst(size_t box, const Transmission& tx, uint64_t atUs);
  bool ReachesHost(size_t box, TxKind kind) const;
  void OnByte(uint64_t atUs, Event& event);
  void HearFrame(const ScannedFrame& frame);
  void AckForHost(const ScannedFrame& frame);
  void AddTrace(const ScannedFrame& frame);
  void AddEvent(uint64_t atUs, std::string note);
  Talker TalkerOf(size_t box) const;
  bool HostMismatch() const;
  int32_t CharBits(bool host) const;
  int32_t Bps(bool host) const;

  BusConfig config_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::vector<Outbox> boxes_;
  std::map<std::pair<uint64_t, uint64_t>, Event> events_;  // (time, sequence)
  uint64_t sequence_ = 0;
  uint64_t nowUs_ = 0;
  uint64_t wireFreeAt_ = 0;
  Rng rng_;
  LineFaultCounts faultCounts_;
  LineScanner scanner_;
  std::optional<int32_t> corruptEchoIndex_;
  std::optional<std::pair<int32_t, int32_t>> loseEcho_;  // writes to let pass, byte index

  bool hostOpen_ = false;
  platform::SerialConfig hostConfig_;
  std::deque<std::pair<uint64_t, uint8_t>> toHost_;  // arrival time, byte
  std::optional<uint64_t> lineErrorAt_;
  std::optional<uint64_t> hangUpAt_;  // not yet reported
  bool unplugged_ = false;

  std::vector<TraceEntry> trace_;
};

}  // namespace zeva::sim
