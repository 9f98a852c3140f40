#include "core/settings_store.h"

#include <string>
#include <vector>

#include "core/int16.h"

namespace zeva {

using platform::RegStatus;
using platform::RegType;

int32_t SettingsStore::ReadDword(std::string_view path, std::string_view name, int32_t fallback) {
  if (!platform_.registry().OpenKey(path)) return fallback;
  RegType type = RegType::kNone;
  std::vector<uint8_t> data;
  // The value is queried into a 256-byte buffer offering 255 bytes.
  switch (platform_.registry().QueryValue(path, name, 255, &type, &data)) {
    case RegStatus::kOk:
      if (type != RegType::kDword || data.size() < 4) return 0;
      return static_cast<int32_t>(static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                                  static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24);
    case RegStatus::kMoreData:
      return 0;
    default:
      return fallback;
  }
}

void SettingsStore::WriteDword(std::string_view path, std::string_view name, int32_t value) {
  if (!IsAdministrator()) {
    platform_.ShowBox("Settings write blocked: Admin privileges required.", kRegistryCaption, MB_ICONERROR);
    return;
  }
  if (platform_.registry().CreateKey(path) != RegStatus::kOk) {
    ShowRegistryError();
    return;
  }
  const auto u = static_cast<uint32_t>(value);
  const uint8_t bytes[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
                            static_cast<uint8_t>(u >> 24)};
  const RegStatus status = platform_.registry().SetValue(path, name, RegType::kDword, bytes, sizeof bytes);
  if (status != RegStatus::kOk && status != RegStatus::kMoreData) ShowRegistryError();
}

bool SettingsStore::IsAdministrator() { return platform_.IsElevated(); }

void SettingsStore::ShowRegistryError() {
  const std::string text = platform_.LastErrorText();
  platform_.ShowBox(text.c_str(), kRegistryCaption, MB_ICONERROR);
}

void LoadSettings(DriverContext& ctx) {
  SettingsStore store(ctx.platform);
  Settings& s = ctx.settings;
  const int32_t packet = store.ReadDword(kSettingsKey, "PacketTimeout", 81);
  s.packetTimeout = Low16(packet);
  s.packetTimeout32 = Low16(packet);
  s.busyTimeout = Low16(store.ReadDword(kSettingsKey, "BusyTimeout", 300));
  s.port = Low16(store.ReadDword(kSettingsKey, "Port", 1));
  s.bps = store.ReadDword(kSettingsKey, "bps", 19200);
  s.frameSize = Low16(store.ReadDword(kSettingsKey, "FrameSize", 8));
  s.rxBuffer = Low16(store.ReadDword(kSettingsKey, "RXBuffer", 1024));
  s.txBuffer = Low16(store.ReadDword(kSettingsKey, "TXBuffer", 11));
  s.localAddress = Low16(store.ReadDword(kSettingsKey, "LocalAddress", 1));
  s.adapterId = Low16(store.ReadDword(kSettingsKey, "AdapterID", 0));
  s.protocol = store.ReadDword(kSettingsKey, "Protocol", 2);
}

void SaveSettings(DriverContext& ctx) {
  SettingsStore store(ctx.platform);
  const Settings& s = ctx.settings;
  store.WriteDword(kSettingsKey, "PacketTimeout", s.packetTimeout32);
  store.WriteDword(kSettingsKey, "BusyTimeout", s.busyTimeout);
  store.WriteDword(kSettingsKey, "Port", s.port);
  store.WriteDword(kSettingsKey, "bps", s.bps);
  store.WriteDword(kSettingsKey, "FrameSize", s.frameSize);
  store.WriteDword(kSettingsKey, "RXBuffer", s.rxBuffer);
  store.WriteDword(kSettingsKey, "TXBuffer", s.txBuffer);
  store.WriteDword(kSettingsKey, "LocalAddress", s.localAddress);
  store.WriteDword(kSettingsKey, "AdapterID", s.adapterId);
  store.WriteDword(kSettingsKey, "Protocol", s.protocol);
}

}  // namespace zeva
