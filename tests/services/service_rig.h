// The driver over the deterministic platform and the bus simulator, with
// every service callback recorded: what the device services tests start
// from. Time is virtual; the wire is the simulator's trace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/driver_context.h"
#include "sim/bus.h"
#include "support/fixture.h"

namespace zeva::services_test {

using Bytes = std::vector<uint8_t>;

struct FirmwareInfo {
  int32_t address;
  std::string serial;
  int32_t product;
  std::string productName;
  int32_t versionLow;
  int32_t versionHigh;
  std::string versionText;
  bool operator==(const FirmwareInfo&) const = default;
};

struct DeviceFound {
  int32_t address;
  std::string serial;
  int32_t product;
  int32_t versionLow;
  int32_t versionHigh;
  bool operator==(const DeviceFound&) const = default;
};

struct RemoteErrorEvent {
  int32_t address;
  int32_t code;
  std::string report;
};

struct QueryReplyEvent {
  int32_t address;
  Bytes reply;
  int32_t tag;
};

struct ProgressEvent {
  int32_t value;
  std::string text;
  bool operator==(const ProgressEvent&) const = default;
};

struct ErrorEvent {
  int32_t code;
  std::string text;
  bool operator==(const ErrorEvent&) const = default;
};

struct WireFrame {
  sim::Talker talker;
  Bytes bytes;
  uint64_t startUs = 0;
  uint64_t endUs = 0;
};

class Rig {
 public:
  explicit Rig(const sim::BusConfig& config = {}, bool open = true);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  sim::Bus bus;  // outlives the driver, which closes the port at its end
  test::DriverFixture fx;
  DriverContext& ctx;
  HWND window = nullptr;

  std::vector<FirmwareInfo> firmware;
  std::vector<int32_t> mapProgress;
  std::vector<DeviceFound> found;
  std::vector<RemoteErrorEvent> remoteErrors;
  std::vector<QueryReplyEvent> replies;
  std::vector<ProgressEvent> progress;
  std::vector<ErrorEvent> errors;
  int32_t programDone = 0;

  // Run inside the callbacks, after the event was recorded.
  std::function<void(int32_t address)> onMapProgress;
  std::function<void(const ProgressEvent&)> onProgress;
  std::function<void(const ErrorEvent&)> onError;
  // Runs when a message posted with Later() reaches the client window.
  std::function<void()> later;

  sim::Device& AddDevice(uint8_t address, uint32_t serial = 0x01A2B3, uint8_t product = 5,
                         uint8_t versionHigh = 2, uint8_t versionLow = 7);
  uint64_t NowUs() const { return fx.platform.NowUs(); }
  uint64_t ElapsedMsSince(uint64_t us) const { return (NowUs() - us) / 1000; }
  // Lets virtual time pass while the client thread serves its queue.
  void RunMs(uint32_t ms);

  // The transmitter answers busy while a transmission waits for its echo.
  void MakeChannelBusy();
  void FreeChannel();
  // Posts a message to the client window; `later` runs when a wait
  // dispatches it.
  void Later(std::function<void()> fn);

  std::vector<WireFrame> WireFrames(sim::TalkerKind talker) const;
  std::vector<Bytes> HostDataFrames() const;
  // Nothing from the host went over the line.
  bool NothingSent() const { return WireFrames(sim::TalkerKind::kHost).empty(); }
  // The host's data frames whose data byte 5 is `code`.
  std::vector<Bytes> HostRequests(uint8_t code) const;

  static Rig* current;
};

// The commands of `kind` that `device` heard.
std::vector<sim::CommandRecord> CommandsOf(const sim::Device& device, sim::Command kind);
Bytes DataOf(const Bytes& frame);

}  // namespace zeva::services_test
