// The registry export text ("Windows Registry Editor Version 5.00") as a
// document that can be read, changed and written back without losing what
// it does not understand: untouched lines are written back exactly as read,
// lines that do not parse are kept but answer no query.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace zeva::posix {

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kRegRootName = "HKEY_LOCAL_MACHINE";

struct RegValue {
  std::string name;  // "" is the key's default value, written @
  platform::RegType type = platform::RegType::kNone;
  std::vector<uint8_t> data;  // as RegQueryValueEx returns it (REG_SZ with its terminator)
};

// One value line (with its continuation lines) or one line of anything else.
struct RegEntry {
  std::string text;  // the original lines; empty once the value was changed
  std::optional<RegValue> value;
};

struct RegSection {
  std::string header;              // the original "[...]" line
  std::optional<std::string> key;  // normalised path below HKEY_LOCAL_MACHINE
  std::vector<RegEntry> entries;
};

class RegDocument {
 public:
  static RegDocument Parse(std::string_view text);
  std::string Serialize() const;

  // A key exists when it has a section or a descendant of it has one (the
  // root always exists).
  bool HasKey(std::string_view path) const;
  // The value's last definition, as an import would leave it.
  const RegValue* FindValue(std::string_view path, std::string_view name) const;
  // Adds an empty section for a key that does not exist yet.
  void AddKey(std::string_view path);
  // Replaces the value's last definition in place, or appends the value to the
  // key's last section (a section is added for a key that exists only through
  // its descendants). False when the key does not exist.
  bool SetValue(std::string_view path, RegValue value);

 private:
  RegSection* LastSectionOf(const std::string& key);
  RegEntry* LastDefinition(const std::string& key, std::string_view name);
  void AppendSection(const std::string& key);

  std::vector<std::string> preamble_;  // lines before the first section
  std::vector<RegSection> sections_;
};

// Helpers of the format, exposed for their own tests.

// Path components joined by single backslashes (empty components dropped).
std::string NormalizeKeyPath(std::string_view path);
// A value line ("name"=data or @=data) with continuations already joined.
std::optional<RegValue> ParseValueLine(std::string_view line);
// The value as regedit writes it; long hex lists continue over lines.
std::string FormatValue(const RegValue& value);
// Whether a key path or value name can be written to the file at all.
bool IsWritableName(std::string_view name);

}  // namespace zeva::posix
