#include "core/settings_store.h"

#include <string>
#include <vector>

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
    platform_.ShowBox(kTextSaveNeedsAdmin, kRegistryCaption, MB_ICONERROR);
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
  for (const SettingRow& row : kSettingRows) {
    row.Load(ctx.settings, store.ReadDword(kSettingsKey, row.registryName, row.defaultValue));
  }
}

void SaveSettings(DriverContext& ctx) {
  SettingsStore store(ctx.platform);
  for (const SettingRow& row : kSettingRows) store.WriteDword(kSettingsKey, row.registryName, row.Get(ctx.settings));
}

}  // namespace zeva
