#include "platform/posix/version.h"

#include "platform/posix/text_util.h"

namespace zeva::posix {
namespace {

struct VersionEntry {
  std::string_view name;
  std::string_view value;
};

constexpr VersionEntry kVersionResource[] = {
    {"FileVersion", "1, 2, 0, 19"},
    {"ProductVersion", "1, 0, 0, 1"},
    {"FileDescription", "ZEVA serial driver for RS485 adapters"},
    {"ProductName", "ZEVA serial driver"},
};

}  // namespace

// Names are matched without regard to case, as a version query does.
std::string VersionResourceString(std::string_view name) {
  for (const VersionEntry& entry : kVersionResource) {
    if (EqualsNoCase(entry.name, name)) return std::string(entry.value);
  }
  return "";
}

}  // namespace zeva::posix
