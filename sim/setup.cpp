#include "sim/setup.h"

#include <charconv>

namespace zeva::sim {

namespace {

template <typename T>
bool ParseNumber(std::string_view text, T* value, int base = 10) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value, base);
  return ec == std::errc() && ptr == end;
}

// Splits at the first `separator`; false when there is none.
bool SplitAt(std::string_view text, char separator, std::string_view* head, std::string_view* tail) {
  const size_t at = text.find(separator);
  if (at == std::string_view::npos) return false;
  *head = text.substr(0, at);
  *tail = text.substr(at + 1);
  return true;
}

std::optional<uint8_t> ParseByte(std::string_view text, unsigned max = 255) {
  unsigned value = 0;
  if (!ParseNumber(text, &value) || value > max) return std::nullopt;
  return static_cast<uint8_t>(value);
}

}  // namespace

std::optional<uint32_t> ParseSerial(std::string_view text) {
  if (!text.empty() && (text[0] == 'S' || text[0] == 's')) text.remove_prefix(1);
  uint32_t value = 0;
  if (text.size() > 6 || !ParseNumber(text, &value, 16)) return std::nullopt;
  return value;
}

std::optional<DeviceConfig> ParseDeviceText(std::string_view text, std::string* error) {
  std::string_view address, serial, product, version, rest;
  const bool split = SplitAt(text, ':', &address, &rest) && SplitAt(rest, ':', &serial, &rest) &&
                     SplitAt(rest, ':', &product, &version);
  std::string_view high, low;
  if (!split || !SplitAt(version, '.', &high, &low)) {
    *error = "expected ADDR:SERIAL:PRODUCT:VH.VL, got \"" + std::string(text) + "\"";
    return std::nullopt;
  }
  DeviceConfig config;
  const auto a = ParseByte(address, 127);
  const auto s = ParseSerial(serial);
  const auto p = ParseByte(product);
  const auto vh = ParseByte(high);
  const auto vl = ParseByte(low);
  if (!a) *error = "address must be 0..127: \"" + std::string(address) + "\"";
  else if (!s) *error = "serial must be up to six hex digits, e.g. S01A2B3: \"" + std::string(serial) + "\"";
  else if (!p) *error = "product must be 0..255: \"" + std::string(product) + "\"";
  else if (!vh || !vl) *error = "version must be HIGH.LOW, each 0..255: \"" + std::string(version) + "\"";
  if (!a || !s || !p || !vh || !vl) return std::nullopt;
  config.address = *a;
  config.serial = *s;
  config.product = *p;
  config.versionHigh = *vh;
  config.versionLow = *vl;
  return config;
}

SimSetup DemoSetup() {
  SimSetup setup;
  DeviceSetup a;
  a.config = {5, 0x01A2B3, 5, 2, 7, {}, 0};
  DeviceSetup b;
  b.config = {7, 0x00C0DE, 12, 0, 9, {}, 0};
  DeviceSetup c;
  c.config = {12, 0x1F2E3D, 3, 1, 4, {3, 17, 5, 2, 40, 8}, 0};
  setup.devices = {a, b, c};
  return setup;
}

namespace {

bool HasDevice(const SimSetup& setup, uint8_t address) {
  for (const DeviceSetup& d : setup.devices) {
    if (d.config.address == address) return true;
  }
  return false;
}

std::string ValidateEvent(const SimSetup& setup, const ScheduledEvent& e) {
  using Kind = ScheduledEvent::Kind;
  if (e.kind == Kind::kUnsolicited || e.kind == Kind::kLinkReset) {
    if (e.from == 0 || !HasDevice(setup, e.from)) {
      return "event from device " + std::to_string(e.from) + ": no such device";
    }
  }
  if (e.kind == Kind::kUnsolicited) {
    if (e.to > 127) return "unsolicited frame: destination must be 0..127";
    if (link::IsShortControl(e.control)) return "unsolicited frame: this control byte makes a short frame";
  }
  if (e.kind == Kind::kLinkReset && e.type != 6 && e.type != 7) return "link reset: type must be 6 or 7";
  if (e.kind == Kind::kLinkReset && e.code > 3) return "link reset: code must be 0..3";
  return {};
}

}  // namespace

std::string ValidateSetup(const SimSetup& setup) {
  const BusConfig& bus = setup.bus;
  if (bus.protocol != 1 && bus.protocol != 2) return "protocol must be 1 or 2";
  if (bus.bps < 0) return "bit rate must be positive";
  if (bus.byteSize != 7 && bus.byteSize != 8) return "character size must be 7 or 8";
  for (const DeviceSetup& d : setup.devices) {
    const std::string name = "device " + std::to_string(d.config.address);
    if (d.config.address > 127) return name + ": address must be 0..127";
    if (d.config.address != 0 && d.config.address == bus.localAddress) {
      return name + ": the host's station has that address";
    }
    if (d.config.serial > 0xFFFFFF) return name + ": serial has more than 24 bits";
  }
  for (const ScheduledEvent& e : setup.events) {
    if (std::string why = ValidateEvent(setup, e); !why.empty()) return why;
  }
  return {};
}

namespace {

size_t IndexOf(Bus& bus, uint8_t address) {
  for (size_t i = 0; i < bus.device_count(); ++i) {
    if (bus.device(i).address() == address) return i;
  }
  return 0;  // validated before
}

void ScheduleEvent(Bus& bus, const ScheduledEvent& e) {
  switch (e.kind) {
    case ScheduledEvent::Kind::kUnsolicited:
      bus.SendUnsolicited(IndexOf(bus, e.from), e.atUs, e.to, e.control, e.data);
      break;
    case ScheduledEvent::Kind::kLinkReset:
      bus.SendLinkReset(IndexOf(bus, e.from), e.atUs, e.type, e.code);
      break;
    case ScheduledEvent::Kind::kNoise:
      if (e.randomCount > 0) bus.InjectRandomNoise(e.atUs, e.randomCount);
      if (!e.bytes.empty()) bus.InjectNoise(e.atUs, e.bytes);
      break;
    case ScheduledEvent::Kind::kUnplug:
      bus.Unplug(e.atUs);
      break;
    case ScheduledEvent::Kind::kReplug:
      bus.Replug(e.atUs);
      break;
  }
}

}  // namespace

std::unique_ptr<Bus> BuildBus(const SimSetup& setup, std::string* error) {
  if (std::string why = ValidateSetup(setup); !why.empty()) {
    *error = why;
    return nullptr;
  }
  auto bus = std::make_unique<Bus>(setup.bus);
  bus->lineFaults = setup.lineFaults;
  for (const DeviceSetup& d : setup.devices) {
    Device& device = bus->AddDevice(d.config);
    device.faults = d.faults;
    if (d.queryReply) {
      const Bytes6 reply = *d.queryReply;
      device.queryHandler = [reply](const Bytes6&) { return reply; };
    }
  }
  for (const ScheduledEvent& e : setup.events) ScheduleEvent(*bus, e);
  return bus;
}

}  // namespace zeva::sim
