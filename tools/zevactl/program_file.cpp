#include "tools/zevactl/program_file.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "tools/common/bounded_file.h"

namespace zevactl {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trim(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

struct Record {
  uint8_t type = 0;
  uint16_t offset = 0;
  std::vector<uint8_t> data;
};

// One ":LLAAAATT<data>CC" line; an empty string on success, else the reason.
std::string DecodeRecord(std::string_view line, Record* record) {
  if (line.empty() || line[0] != ':') return "a record must start with ':'";
  line.remove_prefix(1);
  if (line.size() < 10 || line.size() % 2 != 0) return "record too short or of odd length";
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < line.size(); i += 2) {
    const int hi = HexDigit(line[i]);
    const int lo = HexDigit(line[i + 1]);
    if (hi < 0 || lo < 0) return "not a hexadecimal digit";
    bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  if (bytes.size() != size_t{bytes[0]} + 5) return "the length byte does not match the record";
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  if ((sum & 0xFF) != 0) return "checksum error";
  record->offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  record->type = bytes[3];
  record->data.assign(bytes.begin() + 4, bytes.end() - 1);
  return {};
}

// Collects data records by absolute address.
class HexImage {
 public:
  // An empty string when stored, else the reason.
  std::string Add(uint32_t address, const std::vector<uint8_t>& data) {
    for (size_t i = 0; i < data.size(); ++i) {
      const uint32_t at = address + static_cast<uint32_t>(i);
      if (at >= kMaxProgramBytes) return "the program is larger than 65535 bytes";
      const auto [it, inserted] = bytes_.emplace(at, data[i]);
      if (!inserted && it->second != data[i]) return "data overlaps earlier data with other values";
    }
    return {};
  }

  ProgramImage Build() const {
    ProgramImage image;
    image.fromHex = true;
    if (bytes_.empty()) return image;
    image.bytes.assign(bytes_.rbegin()->first + 1, 0xFF);
    for (const auto& [at, value] : bytes_) image.bytes[at] = value;
    image.gapBytes = image.bytes.size() - bytes_.size();
    return image;
  }

 private:
  std::map<uint32_t, uint8_t> bytes_;
};

std::string AtLine(size_t number, const std::string& reason) {
  return "line " + std::to_string(number) + ": " + reason;
}

}  // namespace

std::optional<ProgramFormat> ParseProgramFormat(const std::string& text) {
  if (text == "auto") return ProgramFormat::kAuto;
  if (text == "hex") return ProgramFormat::kHex;
  if (text == "bin") return ProgramFormat::kBinary;
  return std::nullopt;
}

ProgramFormat FormatOfName(std::string_view name) {
  const size_t slash = name.find_last_of('/');
  const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  const size_t dot = base.find_last_of('.');
  if (dot == std::string_view::npos || dot == 0) return ProgramFormat::kAuto;
  std::string ext(base.substr(dot + 1));
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == "hex" || ext == "ihx" || ext == "ihex") return ProgramFormat::kHex;
  if (ext == "bin") return ProgramFormat::kBinary;
  return ProgramFormat::kAuto;
}

bool LooksLikeText(std::string_view content) {
  for (char c : content) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0x7F || (u < 0x20 && c != '\r' && c != '\n' && c != '\t' && c != '\f')) return false;
  }
  return true;
}

std::optional<ProgramImage> ParseIntelHex(std::string_view content, std::string* error) {
  HexImage image;
  uint32_t base = 0;
  bool ended = false;
  size_t number = 0;
  std::istringstream in{std::string(content)};
  for (std::string text; std::getline(in, text);) {
    ++number;
    const std::string_view line = Trim(text);
    if (line.empty()) continue;
    if (ended) {
      *error = AtLine(number, "data after the end-of-file record");
      return std::nullopt;
    }
    Record record;
    std::string reason = DecodeRecord(line, &record);
    if (reason.empty()) {
      switch (record.type) {
        case 0x00: reason = image.Add(base + record.offset, record.data); break;
        case 0x01: ended = true; break;
        case 0x02:
        case 0x04:
          if (record.data.size() != 2) {
            reason = "an address record carries two bytes";
          } else {
            const uint32_t value = static_cast<uint32_t>(record.data[0] << 8 | record.data[1]);
            base = record.type == 0x02 ? value << 4 : value << 16;
          }
          break;
        case 0x03:
        case 0x05: break;  // start addresses mean nothing to the device
        default: reason = "unknown record type " + std::to_string(record.type);
      }
    }
    if (!reason.empty()) {
      *error = AtLine(number, reason);
      return std::nullopt;
    }
  }
  if (!ended) {
    *error = "no end-of-file record (:00000001FF)";
    return std::nullopt;
  }
  return image.Build();
}

std::optional<ProgramImage> ReadProgram(std::string_view name, std::string_view content, ProgramFormat format,
                                        std::string* error) {
  const std::string prefix = std::string(name) + ": ";
  if (format == ProgramFormat::kAuto) format = FormatOfName(name);
  if (format == ProgramFormat::kAuto) {
    if (!LooksLikeText(content)) {
      *error = prefix + "not Intel HEX (binary content); for a raw binary program give --format bin";
      return std::nullopt;
    }
    format = ProgramFormat::kHex;
  }
  std::optional<ProgramImage> image;
  if (format == ProgramFormat::kHex) {
    // Editors on some systems put a UTF-8 byte-order mark before the text.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (content.substr(0, kByteOrderMark.size()) == kByteOrderMark) content.remove_prefix(kByteOrderMark.size());
    image = ParseIntelHex(content, error);
    if (!image) {
      *error = prefix + *error;
      return std::nullopt;
    }
  } else {
    image = ProgramImage{std::vector<uint8_t>(content.begin(), content.end())};
  }
  if (image->bytes.empty()) {
    *error = prefix + "the program is empty";
    return std::nullopt;
  }
  if (image->bytes.size() > kMaxProgramBytes) {
    *error = prefix + "the program is larger than 65535 bytes";
    return std::nullopt;
  }
  return image;
}

std::optional<ProgramImage> LoadProgramFile(const std::string& path, ProgramFormat format, std::string* error) {
  const std::optional<std::string> content = zeva::tools::ReadBoundedFile(path, kMaxProgramFileBytes, error);
  if (!content) return std::nullopt;
  return ReadProgram(path, *content, format, error);
}

}  // namespace zevactl
