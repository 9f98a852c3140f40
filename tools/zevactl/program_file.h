// A program file for download: raw binary, or Intel HEX told apart by its
// content.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zevactl {

// The most a download can carry: its length travels as 16 bits.
constexpr size_t kMaxProgramBytes = 65535;

struct ProgramImage {
  std::vector<uint8_t> bytes;
  bool fromHex = false;
  size_t gapBytes = 0;  // bytes filled with 0xFF between (or before) HEX records
};

// True when the content reads as Intel HEX: printable text whose first
// non-blank character is ':'.
bool LooksLikeIntelHex(std::string_view content);

// Intel HEX records 00 (data), 01 (end of file), 02 and 04 (segment and
// linear base), 03 and 05 (start address, ignored). The image starts at
// address 0; gaps are filled with 0xFF. Refused with "line N: reason":
// bad characters, bad lengths or checksums, unknown record types, data
// that overlaps other data, a missing end record, or an image above 65535
// bytes.
std::optional<ProgramImage> ParseIntelHex(std::string_view content, std::string* error);

// Reads `path` and returns its image (HEX or raw); nullopt with the reason
// in `error` for an unreadable, empty, malformed or oversized file.
std::optional<ProgramImage> LoadProgramFile(const std::string& path, std::string* error);

}  // namespace zevactl
