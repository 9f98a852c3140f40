// A program file for download: Intel HEX, or raw binary when the user says
// so (--format bin, or a .bin name). A file is never taken for raw binary on
// a guess: text sent as a program would be a wrong program in the device.
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

// The largest file read for a program: an image of 65535 bytes written as
// HEX with one data byte a record, CR LF line ends and address records.
constexpr size_t kMaxProgramFileBytes = 1 << 20;

enum class ProgramFormat { kAuto, kHex, kBinary };

// "auto", "hex" or "bin".
std::optional<ProgramFormat> ParseProgramFormat(const std::string& text);

// The format a file's name promises: .hex, .ihx, .ihex for HEX, .bin for
// raw binary (any case); kAuto for any other name.
ProgramFormat FormatOfName(std::string_view name);

// True when the content reads as text (the bytes of HEX or of an editor's
// file), false when it has bytes no text file holds (NUL, most controls).
bool LooksLikeText(std::string_view content);

// Intel HEX records 00 (data), 01 (end of file), 02 and 04 (segment and
// linear base), 03 and 05 (start address, ignored). The image starts at
// address 0; gaps are filled with 0xFF. Refused with "line N: reason":
// bad characters, bad lengths or checksums, unknown record types, data
// that overlaps other data, a missing end record, or an image above 65535
// bytes.
std::optional<ProgramImage> ParseIntelHex(std::string_view content, std::string* error);

// The image of a file named `name` with this content. kAuto: the name
// decides (see FormatOfName), else the content must be text and is read as
// HEX; binary content under another name is refused, asking for
// --format bin. A UTF-8 byte-order mark before HEX is skipped. Refusals
// start with "NAME: ".
std::optional<ProgramImage> ReadProgram(std::string_view name, std::string_view content, ProgramFormat format,
                                        std::string* error);

// Reads `path` (a regular file of bounded size) and returns its image;
// nullopt with the reason in `error` for an unreadable, empty, malformed or
// oversized file.
std::optional<ProgramImage> LoadProgramFile(const std::string& path, ProgramFormat format, std::string* error);

}  // namespace zevactl
