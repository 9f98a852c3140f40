#include "tools/zevactl/args.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace zevactl {

std::optional<int64_t> ParseNumber(const std::string& text, int64_t min, int64_t max) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  size_t used = 0;
  int64_t value = 0;
  try {
    value = std::stoll(text, &used, text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (used != text.size() || value < min || value > max) return std::nullopt;
  return value;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::vector<std::string>& args, std::string* error) {
  std::vector<uint8_t> bytes;
  for (const std::string& arg : args) {
    std::string digits;
    for (size_t i = 0; i < arg.size(); ++i) {
      const char c = arg[i];
      if ((c == 'x' || c == 'X') && i > 0 && arg[i - 1] == '0' && digits.size() % 2 == 1) {
        digits.pop_back();  // a "0x" prefix
        continue;
      }
      if (c == ':' || c == ',' || c == '-') {
        if (digits.size() % 2 == 1) digits.insert(digits.end() - 1, '0');
        continue;
      }
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        *error = "not hex bytes: \"" + arg + "\"";
        return std::nullopt;
      }
      digits += c;
    }
    if (digits.size() == 1) digits.insert(digits.begin(), '0');
    if (digits.empty() || digits.size() % 2 != 0) {
      *error = "not whole hex bytes: \"" + arg + "\"";
      return std::nullopt;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
  }
  return bytes;
}

std::optional<std::string> ParseSerialText(const std::string& text) {
  std::string digits = text;
  if (!digits.empty() && (digits[0] == 'S' || digits[0] == 's')) digits.erase(0, 1);
  if (digits.empty() || digits.size() > 6) return std::nullopt;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  char out[8];
  std::snprintf(out, sizeof out, "S%06X", static_cast<unsigned>(std::stoul(digits, nullptr, 16)));
  return std::string(out);
}

std::optional<std::pair<int32_t, int32_t>> ParseVersion(const std::string& text) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return std::nullopt;
  const auto high = ParseNumber(text.substr(0, dot), 0, 255);
  const auto low = ParseNumber(text.substr(dot + 1), 0, 255);
  if (!high || !low) return std::nullopt;
  return std::make_pair(static_cast<int32_t>(*high), static_cast<int32_t>(*low));
}

}  // namespace zevactl
