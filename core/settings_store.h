// Settings persistence: the ten link settings as REG_DWORD values under
// HKEY_LOCAL_MACHINE "Software\Velmora\Orlindo". Read once at library start,
// written only by SaveSettings, and only with administrator rights.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/driver_context.h"
#include "core/errors.h"

namespace zeva {

inline constexpr std::string_view kSettingsKey = "Software\\Velmora\\Orlindo";

// The registry accessor through which all reads and writes of settings go.
// It holds nothing that outlives an operation.
class SettingsStore {
 public:
  explicit SettingsStore(platform::Platform& platform) : platform_(platform) {}

  // The value's 32 bits; 0 for a value of another type or one larger than
  // 255 bytes; `fallback` when the key or value is missing. Never reports.
  int32_t ReadDword(std::string_view path, std::string_view name, int32_t fallback);
  // Writes a REG_DWORD; reports its own failures with message boxes.
  void WriteDword(std::string_view path, std::string_view name, int32_t value);
  bool IsAdministrator();
  void ShowRegistryError();

 private:
  platform::Platform& platform_;
};

// Loads the ten settings at their widths, without range checks.
void LoadSettings(DriverContext& ctx);
// Writes the ten settings in their order; each write checks rights itself.
void SaveSettings(DriverContext& ctx);

}  // namespace zeva
