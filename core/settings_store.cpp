#include "core/settings_store.h"

#include <string>
#include <vector>

namespace zeva {

using platform::RegStatus;
using platform::RegType;

SettingsStore::Stored SettingsStore::Read(std::string_view path, std::string_view name) {
  if (!platform_.registry().OpenKey(path)) return {};
  RegType type = RegType::kNone;
  std::vector<uint8_t> data;
  // The value is queried into a 256-byte buffer offering 255 bytes.
  switch (platform_.registry().QueryValue(path, name, 255, &type, &data)) {
    case RegStatus::kOk:
      if (type != RegType::kDword || data.size() < 4) return {Stored::Kind::kOtherKind, 0};
      return {Stored::Kind::kDword,
              static_cast<int32_t>(static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                                   static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24)};
    case RegStatus::kMoreData:
      return {Stored::Kind::kOtherKind, 0};
    default:
      return {};
  }
}

int32_t SettingsStore::ReadDword(std::string_view path, std::string_view name, int32_t fallback) {
  const Stored stored = Read(path, name);
  return stored.kind == Stored::Kind::kMissing ? fallback : stored.value;
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

std::vector<SettingNotTaken> LoadSettings(core::CoreState& ctx) {
  SettingsStore store(ctx.platform);
  std::vector<SettingNotTaken> notTaken;
  for (const SettingRow& row : kSettingRows) {
    const SettingsStore::Stored stored = store.Read(kSettingsKey, row.registryName);
    switch (stored.kind) {
      case SettingsStore::Stored::Kind::kMissing:
        row.Put(ctx.settings, row.defaultValue);
        break;
      case SettingsStore::Stored::Kind::kOtherKind:
        // A rate written as text would otherwise load as 0 and no port
        // would ever open.
        row.Put(ctx.settings, row.defaultValue);
        notTaken.push_back({row.registryName, SettingNotTaken::Why::kOtherKind, 0, row.Get(ctx.settings)});
        break;
      case SettingsStore::Stored::Kind::kDword:
        if (row.Load(ctx.settings, stored.value) == LoadVerdict::kOutOfRange) {
          notTaken.push_back(
              {row.registryName, SettingNotTaken::Why::kOutOfRange, stored.value, row.Get(ctx.settings)});
        }
        break;
    }
  }
  return notTaken;
}

void SaveSettings(core::CoreState& ctx) {
  SettingsStore store(ctx.platform);
  for (const SettingRow& row : kSettingRows) store.WriteDword(kSettingsKey, row.registryName, row.Get(ctx.settings));
}

}  // namespace zeva
