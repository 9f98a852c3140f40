#include "platform/posix/profile.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "platform/posix/prefix.h"
#include "platform/posix/text_util.h"

namespace zeva::posix {
namespace {

std::string Truncated(std::string_view text, size_t size) {
  if (size == 0) return "";
  return std::string(text.substr(0, size - 1));
}

std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// A profile file is small text; a larger one is read this far.
constexpr std::streamsize kMaxProfileBytes = 1 << 20;

// The file's text: only a regular file (a directory or a pipe named like it
// gives nothing, and never blocks), at most kMaxProfileBytes of it, without
// the UTF-8 byte-order mark an editor may have put before the first section.
std::optional<std::string> ReadProfileText(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<size_t>(kMaxProfileBytes), '\0');
  in.read(text.data(), kMaxProfileBytes);
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

// Windows finds "ORLINDO.INF" under any spelling; a POSIX directory does not.
std::optional<std::string> FindNoCase(const std::string& dir, std::string_view name) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = readdir(handle)) {
    if (EqualsNoCase(entry->d_name, name)) {
      found = dir + "/" + entry->d_name;
      break;
    }
  }
  closedir(handle);
  return found;
}

// The first value of the key in the first section of that name that has it.
std::optional<std::string> Lookup(std::istream& in, std::string_view section, std::string_view key) {
  bool inSection = false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string_view text = Trim(line);
    if (text.empty() || text[0] == ';') continue;
    if (text[0] == '[') {
      const size_t close = text.find(']');
      inSection = close != std::string_view::npos && EqualsNoCase(Trim(text.substr(1, close - 1)), section);
      continue;
    }
    const size_t equals = text.find('=');
    if (!inSection || equals == std::string_view::npos) continue;
    if (EqualsNoCase(Trim(text.substr(0, equals)), key)) {
      return std::string(Unquoted(Trim(text.substr(equals + 1))));
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ProfilePath(std::string_view file) {
  if (file.find('/') != std::string_view::npos) return std::string(file);
  const std::string dir = ZevaPrefix();
  std::string path = dir + "/" + std::string(file);
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (auto other = FindNoCase(dir, file)) return *other;
  }
  return path;
}

std::string ReadProfileString(std::string_view file, std::string_view section, std::string_view key,
                              std::string_view fallback, size_t size) {
  std::string_view defaultText = fallback;
  while (!defaultText.empty() && (defaultText.back() == ' ' || defaultText.back() == '\t')) {
    defaultText.remove_suffix(1);
  }
  if (file.empty() || section.empty() || key.empty()) return Truncated(defaultText, size);
  const std::optional<std::string> text = ReadProfileText(ProfilePath(file));
  if (!text) return Truncated(defaultText, size);
  std::istringstream in(*text);
  const std::optional<std::string> value = Lookup(in, Trim(section), Trim(key));
  return Truncated(value ? std::string_view(*value) : defaultText, size);
}

}  // namespace zeva::posix
