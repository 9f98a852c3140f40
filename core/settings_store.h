// Settings persistence: the ten link settings as REG_DWORD values under
// HKEY_LOCAL_MACHINE "Software\Velmora\Orlindo". Read once at library start,
// written only by SaveSettings, and only with administrator rights.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/core_state.h"
#include "core/errors.h"

namespace zeva {

inline constexpr std::string_view kSettingsKey = "Software\\Velmora\\Orlindo";

// The registry accessor through which all reads and writes of settings go.
// It holds nothing that outlives an operation.
class SettingsStore {
 public:
  explicit SettingsStore(platform::Platform& platform) : platform_(platform) {}

  // A stored value as found: missing, a REG_DWORD with its 32 bits, or a
  // value of another type or larger than 255 bytes. Never reports.
  struct Stored {
    enum class Kind { kMissing, kDword, kOtherKind } kind = Kind::kMissing;
    int32_t value = 0;
  };
  Stored Read(std::string_view path, std::string_view name);
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

// What the load made of one stored setting that it did not take as it was.
struct SettingNotTaken {
  std::string_view registryName;
  enum class Why { kOutOfRange, kOtherKind } why;
  int32_t stored;  // the 32 bits stored (0 for another kind)
  int32_t loaded;  // what the setting holds now
};

// Loads the ten settings at their widths and in their setters' ranges: a
// value out of range is kept in it as the setter would, one of another kind
// leaves the default. Says which values were not taken as stored.
std::vector<SettingNotTaken> LoadSettings(core::CoreState& ctx);
// Writes the ten settings in their order; each write checks rights itself.
void SaveSettings(core::CoreState& ctx);

}  // namespace zeva
