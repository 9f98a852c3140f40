// The driver over the deterministic platform and the bus simulator, with
// every service callback recorded: what the device services tests start
// from. Time is virtual; the wire is the simulator's trace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "sim/bus.h"
#include "support/sim_driver.h"

namespace zeva::services_test {

using test::Bytes;
using test::WireFrame;

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

class Rig : public test::SimDriver {
 public:
  explicit Rig(const sim::BusConfig& config = {}, bool open = true);
  ~Rig();

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

  uint64_t ElapsedMsSince(uint64_t us) const { return (NowUs() - us) / 1000; }

  // The transmitter answers busy while a transmission waits for its echo.
  void MakeChannelBusy();
  void FreeChannel();
  // Posts a message to the client window; `later` runs when a wait
  // dispatches it.
  void Later(std::function<void()> fn);

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
