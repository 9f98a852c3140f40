// Checks of the values people type: addresses, serial codes, hex bytes.
// Each refuses with a message before anything is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zevactl {

// A decimal number, or hex with 0x, within [min, max].
std::optional<int64_t> ParseNumber(const std::string& text, int64_t min, int64_t max);

// Bytes in hex: each argument is one or more whole bytes ("1F", "0x1F",
// "01A2B3"; "01:A2", "01,A2" and "01-A2" separate bytes too).
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::vector<std::string>& args, std::string* error);

// A serial code as "S" and one to six hex digits (or the bare digits),
// returned as the driver writes it: "S" and six upper-case digits.
std::optional<std::string> ParseSerialText(const std::string& text);

// "H.L", each 0..255.
std::optional<std::pair<int32_t, int32_t>> ParseVersion(const std::string& text);

}  // namespace zevactl
