#include "platform/posix/reg_document.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/posix/text_util.h"

namespace zeva::posix {
namespace {

using platform::RegType;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// 1 to 8 hex digits and nothing else.
std::optional<uint32_t> ParseHex32(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    if (!IsHexDigit(c)) return std::nullopt;
    const char lower = ToLowerAscii(c);
    value = (value << 4) | static_cast<uint32_t>(lower <= '9' ? lower - '0' : lower - 'a' + 10);
  }
  return value;
}

// A quoted text with \\ and \" escapes, starting at text[0] == '"'. Sets
// `end` past the closing quote.
std::optional<std::string> ParseQuoted(std::string_view text, size_t* end) {
  if (text.empty() || text[0] != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out += text[++i];
    } else if (c == '"') {
      *end = i + 1;
      return out;
    } else {
      out += c;
    }
  }
  return std::nullopt;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// Comma-separated bytes of one or two hex digits; blank for no bytes.
std::optional<std::vector<uint8_t>> ParseHexList(std::string_view list) {
  std::vector<uint8_t> bytes;
  list = Trim(list);
  if (list.empty()) return bytes;
  for (;;) {
    const size_t comma = list.find(',');
    const std::string_view piece = Trim(list.substr(0, comma));
    if (piece.size() > 2) return std::nullopt;
    const auto byte = ParseHex32(piece);
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*byte));
    if (comma == std::string_view::npos) return bytes;
    list.remove_prefix(comma + 1);
  }
}

bool ParseHexData(std::string_view data, RegValue* value) {
  data.remove_prefix(3);  // "hex"
  value->type = RegType::kBinary;
  if (!data.empty() && data[0] == '(') {
    const size_t close = data.find(')');
    if (close == std::string_view::npos) return false;
    const auto type = ParseHex32(data.substr(1, close - 1));
    if (!type) return false;
    value->type = static_cast<RegType>(*type);
    data.remove_prefix(close + 1);
  }
  if (data.empty() || data[0] != ':') return false;
  auto bytes = ParseHexList(data.substr(1));
  if (!bytes) return false;
  value->data = std::move(*bytes);
  return true;
}

bool ParseData(std::string_view data, RegValue* value) {
  if (!data.empty() && data[0] == '"') {
    size_t end = 0;
    auto text = ParseQuoted(data, &end);
    if (!text || !Trim(data.substr(end)).empty()) return false;
    value->type = RegType::kSz;
    value->data.assign(text->begin(), text->end());
    value->data.push_back(0);
    return true;
  }
  if (StartsWithNoCase(data, "dword:")) {
    const auto number = ParseHex32(Trim(data.substr(6)));
    if (!number) return false;
    value->type = RegType::kDword;
    value->data = {static_cast<uint8_t>(*number), static_cast<uint8_t>(*number >> 8),
                   static_cast<uint8_t>(*number >> 16), static_cast<uint8_t>(*number >> 24)};
    return true;
  }
  if (StartsWithNoCase(data, "hex")) return ParseHexData(data, value);
  return false;
}

// A REG_SZ that the quoted form can carry: one terminator, at the end, and
// no line breaks.
bool IsPlainString(const RegValue& value) {
  if (value.type != RegType::kSz || value.data.empty() || value.data.back() != 0) return false;
  for (size_t i = 0; i + 1 < value.data.size(); ++i) {
    const uint8_t c = value.data[i];
    if (c == 0 || c == '\n' || c == '\r') return false;
  }
  return true;
}

// regedit's layout: lines of at most 80 characters, each but the last ending
// in a backslash, continuations indented by two blanks.
void AppendHexList(std::string* out, const std::vector<uint8_t>& bytes) {
  constexpr size_t kMaxLine = 80;
  size_t column = out->size();
  for (size_t i = 0; i < bytes.size(); ++i) {
    char token[4];
    std::snprintf(token, sizeof token, "%02x%s", bytes[i], i + 1 < bytes.size() ? "," : "");
    const size_t width = std::string_view(token).size();
    if (column + width + 1 > kMaxLine) {
      *out += "\\\n  ";
      column = 2;
    }
    *out += token;
    column += width;
  }
}

std::optional<std::string> ParseSectionKey(std::string_view line) {
  std::string_view inner = Trim(line.substr(1, line.size() - 2));
  const size_t slash = inner.find('\\');
  if (!EqualsNoCase(inner.substr(0, slash), kRegRootName)) return std::nullopt;
  return slash == std::string_view::npos ? std::string() : NormalizeKeyPath(inner.substr(slash + 1));
}

bool IsSectionLine(std::string_view trimmed) {
  return trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']';
}

bool IsBlankLine(const RegEntry& entry) { return !entry.value && Trim(entry.text).empty(); }

bool IsDescendant(std::string_view candidate, std::string_view key) {
  return candidate.size() > key.size() && candidate[key.size()] == '\\' && StartsWithNoCase(candidate, key);
}

std::vector<std::string> SplitLines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string> lines;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    if (newline == std::string_view::npos) break;
    text.remove_prefix(newline + 1);
  }
  return lines;
}

// A value line and its continuation lines (a trailing backslash, then an
// indented line), as one entry.
RegEntry TakeValueEntry(const std::vector<std::string>& lines, size_t* i) {
  RegEntry entry{lines[*i], std::nullopt};
  std::string joined(Trim(lines[*i]));
  while (!joined.empty() && joined.back() == '\\' && *i + 1 < lines.size() && !lines[*i + 1].empty() &&
         IsBlank(lines[*i + 1][0])) {
    ++*i;
    joined.pop_back();
    joined += Trim(lines[*i]);
    entry.text += '\n' + lines[*i];
  }
  entry.value = ParseValueLine(joined);
  return entry;
}

}  // namespace

std::string NormalizeKeyPath(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    const size_t slash = path.find('\\');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      if (!out.empty()) out += '\\';
      out += part;
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return out;
}

std::optional<RegValue> ParseValueLine(std::string_view line) {
  std::string_view text = Trim(line);
  RegValue value;
  size_t end = 0;
  if (!text.empty() && text[0] == '@') {
    end = 1;
  } else {
    auto name = ParseQuoted(text, &end);
    if (!name) return std::nullopt;
    value.name = std::move(*name);
  }
  text = Trim(text.substr(end));
  if (text.empty() || text[0] != '=') return std::nullopt;
  if (!ParseData(Trim(text.substr(1)), &value)) return std::nullopt;
  return value;
}

std::string FormatValue(const RegValue& value) {
  std::string out = value.name.empty() ? "@" : Quote(value.name);
  out += '=';
  if (IsPlainString(value)) {
    return out + Quote(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
  }
  char head[24];
  if (value.type == RegType::kDword && value.data.size() == 4) {
    const uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                            (static_cast<uint32_t>(value.data[3]) << 24);
    std::snprintf(head, sizeof head, "dword:%08x", number);
    return out + head;
  }
  if (value.type == RegType::kBinary) {
    out += "hex:";
  } else {
    std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(value.type));
    out += head;
  }
  AppendHexList(&out, value.data);
  return out;
}

bool IsWritableName(std::string_view name) { return name.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos; }

RegDocument RegDocument::Parse(std::string_view text) {
  RegDocument doc;
  const std::vector<std::string> lines = SplitLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view trimmed = Trim(lines[i]);
    if (IsSectionLine(trimmed)) {
      doc.sections_.push_back(RegSection{lines[i], ParseSectionKey(trimmed), {}});
    } else if (doc.sections_.empty()) {
      doc.preamble_.push_back(lines[i]);
    } else if (!trimmed.empty() && (trimmed[0] == '"' || trimmed[0] == '@')) {
      doc.sections_.back().entries.push_back(TakeValueEntry(lines, &i));
    } else {
      doc.sections_.back().entries.push_back(RegEntry{lines[i], std::nullopt});
    }
  }
  return doc;
}

std::string RegDocument::Serialize() const {
  std::string out;
  auto firstLine = std::find_if(preamble_.begin(), preamble_.end(),
                                [](const std::string& line) { return !Trim(line).empty(); });
  if (firstLine == preamble_.end() ||
      !(EqualsNoCase(Trim(*firstLine), kRegFileHeader) || Trim(*firstLine) == "REGEDIT4")) {
    out += std::string(kRegFileHeader) + "\n\n";
  }
  for (const std::string& line : preamble_) out += line + '\n';
  for (const RegSection& section : sections_) {
    out += section.header + '\n';
    for (const RegEntry& entry : section.entries) {
      out += (entry.value && entry.text.empty()) ? FormatValue(*entry.value) : entry.text;
      out += '\n';
    }
  }
  return out;
}

bool RegDocument::HasKey(std::string_view path) const {
  const std::string key = NormalizeKeyPath(path);
  if (key.empty()) return true;
  for (const RegSection& section : sections_) {
    if (section.key && (EqualsNoCase(*section.key, key) || IsDescendant(*section.key, key))) return true;
  }
  return false;
}

const RegValue* RegDocument::FindValue(std::string_view path, std::string_view name) const {
  const RegEntry* entry = const_cast<RegDocument*>(this)->LastDefinition(NormalizeKeyPath(path), name);
  return entry != nullptr ? &*entry->value : nullptr;
}

void RegDocument::AddKey(std::string_view path) {
  const std::string key = NormalizeKeyPath(path);
  if (!HasKey(key)) AppendSection(key);
}

bool RegDocument::SetValue(std::string_view path, RegValue value) {
  const std::string key = NormalizeKeyPath(path);
  if (!HasKey(key)) return false;
  if (RegEntry* entry = LastDefinition(key, value.name)) {
    value.name = entry->value->name;  // keep the spelling the file has
    *entry = RegEntry{std::string(), std::move(value)};
    return true;
  }
  RegSection* section = LastSectionOf(key);
  if (section == nullptr) {
    AppendSection(key);
    section = &sections_.back();
  }
  // New values go before the blank lines that separate the next section.
  auto at = section->entries.end();
  while (at != section->entries.begin() && IsBlankLine(*(at - 1))) --at;
  section->entries.insert(at, RegEntry{std::string(), std::move(value)});
  return true;
}

RegSection* RegDocument::LastSectionOf(const std::string& key) {
  for (auto it = sections_.rbegin(); it != sections_.rend(); ++it) {
    if (it->key && EqualsNoCase(*it->key, key)) return &*it;
  }
  return nullptr;
}

RegEntry* RegDocument::LastDefinition(const std::string& key, std::string_view name) {
  RegEntry* found = nullptr;
  for (RegSection& section : sections_) {
    if (!section.key || !EqualsNoCase(*section.key, key)) continue;
    for (RegEntry& entry : section.entries) {
      if (entry.value && EqualsNoCase(entry.value->name, name)) found = &entry;
    }
  }
  return found;
}

void RegDocument::AppendSection(const std::string& key) {
  if (sections_.empty()) {
    if (!preamble_.empty() && !Trim(preamble_.back()).empty()) preamble_.emplace_back();
  } else if (sections_.back().entries.empty() || !IsBlankLine(sections_.back().entries.back())) {
    sections_.back().entries.push_back(RegEntry{});
  }
  std::string header = "[" + std::string(kRegRootName) + (key.empty() ? "" : "\\" + key) + "]";
  sections_.push_back(RegSection{std::move(header), key, {}});
}

}  // namespace zeva::posix
