// A whole simulated bus described as plain data: what zevasim builds from
// its command line or JSON file, and what tests and demos start from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bus.h"
#include "sim/device.h"

namespace zeva::sim {

struct DeviceSetup {
  DeviceConfig config;
  DeviceFaults faults;
  std::optional<Bytes6> queryReply;  // a fixed answer to every query
};

// Something that happens at a time. Devices are named by their address
// when the bus is built.
struct ScheduledEvent {
  enum class Kind : uint8_t { kUnsolicited, kLinkReset, kNoise, kUnplug, kReplug };
  Kind kind = Kind::kNoise;
  uint64_t atUs = 0;
  uint8_t from = 0;     // kUnsolicited, kLinkReset: the device's address
  uint8_t to = 0;       // kUnsolicited: destination
  uint8_t control = 0;  // kUnsolicited: the control byte
  Bytes6 data{};        // kUnsolicited
  uint8_t type = 6;     // kLinkReset: 6 or 7
  uint8_t code = 1;     // kLinkReset: 0..3
  std::vector<uint8_t> bytes;  // kNoise: these bytes, or
  size_t randomCount = 0;      // kNoise: this many bytes from the generator
};

struct SimSetup {
  BusConfig bus;
  LineFaults lineFaults;
  std::vector<DeviceSetup> devices;
  std::vector<ScheduledEvent> events;
};

// A serial code as the system writes it, "S01A2B3", or bare hex "01A2B3";
// at most six hex digits.
std::optional<uint32_t> ParseSerial(std::string_view text);

// "ADDR:SERIAL:PRODUCT:VH.VL", e.g. "5:S01A2B3:5:2.7". On failure the
// reason is in `error`.
std::optional<DeviceConfig> ParseDeviceText(std::string_view text, std::string* error);

// Three devices: 5 (S01A2B3, product 5, version 2.7), 7 (S00C0DE, product
// 12, version 0.9: its downloads run in normal mode without response
// codes) and 12 (S1F2E3D, product 3, version 1.4, with a stored
// "Reprogram error" record).
SimSetup DemoSetup();

// Empty when the setup is usable, otherwise what is wrong with it.
std::string ValidateSetup(const SimSetup& setup);

// The bus with its devices, faults and scheduled events (times relative to
// virtual time 0). nullptr with the reason in `error` when the setup is not
// usable.
std::unique_ptr<Bus> BuildBus(const SimSetup& setup, std::string* error);

}  // namespace zeva::sim
