// libFuzzer target for the Intel HEX reader of zevactl's program files.
//
// Input: the file content as it is.
// Checked:
//   - an accepted image fits a download (at most 65535 bytes), and not all
//     of it is gap;
//   - a refusal names its reason (a line number or the missing end record);
//   - the same file with CR LF line ends reads the same, refusals included;
//   - the accepted image, written out again as HEX (records of varying
//     length, with address records), reads back to the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zevactl/program_file.h"

namespace {

#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

void AppendRecord(std::string* out, uint8_t type, uint16_t offset, const uint8_t* data, size_t n) {
  char text[16];
  unsigned sum = static_cast<unsigned>(n) + (offset >> 8) + (offset & 0xFF) + type;
  std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(n), static_cast<unsigned>(offset),
                type);
  *out += std::string_view(text, 9);
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "%02X", data[i]);
    *out += text;
    sum += data[i];
  }
  std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
  *out += text;
}

// The image as HEX: record lengths from `seed` (1 to 32), and before every
// fourth record an address record that moves the base onto the record, so
// that offsets stay small.
std::string WriteHex(const std::vector<uint8_t>& bytes, uint8_t seed) {
  std::string out;
  uint32_t state = seed;
  size_t at = 0;
  for (int record = 0; at < bytes.size(); ++record) {
    state = state * 1103515245u + 12345u;
    const size_t n = std::min<size_t>(1 + ((state >> 16) & 31), bytes.size() - at);
    uint32_t base = 0;
    if (record % 4 == 3) {
      // Segment bases are 16-byte steps, linear ones 64 KiB steps.
      if ((state >> 24) & 1) {
        base = static_cast<uint32_t>(at) & ~0xFu;
        const uint8_t segment[2] = {static_cast<uint8_t>(base >> 12), static_cast<uint8_t>(base >> 4)};
        AppendRecord(&out, 0x02, 0, segment, 2);
      } else {
        const uint8_t linear[2] = {0, 0};
        AppendRecord(&out, 0x04, 0, linear, 2);
      }
    } else if (record % 4 == 0 && record > 0) {
      const uint8_t linear[2] = {0, 0};
      AppendRecord(&out, 0x04, 0, linear, 2);
    }
    AppendRecord(&out, 0x00, static_cast<uint16_t>(at - base), bytes.data() + at, n);
    // Back to base 0 for the records that follow a segment record.
    if (base != 0) {
      const uint8_t zero[2] = {0, 0};
      AppendRecord(&out, 0x02, 0, zero, 2);
    }
    at += n;
  }
  AppendRecord(&out, 0x01, 0, nullptr, 0);
  return out;
}

std::string WithCrLf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(input), size);
  (void)zevactl::LooksLikeText(content);

  std::string error;
  const auto image = zevactl::ParseIntelHex(content, &error);
  std::string crlfError;
  const auto crlf = zevactl::ParseIntelHex(WithCrLf(content), &crlfError);
  FUZZ_CHECK(image.has_value() == crlf.has_value());
  if (!image) {
    FUZZ_CHECK(error.rfind("line ", 0) == 0 || error.rfind("no end-of-file", 0) == 0);
    FUZZ_CHECK(crlfError == error);
    return 0;
  }
  FUZZ_CHECK(image->fromHex);
  FUZZ_CHECK(crlf->bytes == image->bytes && crlf->gapBytes == image->gapBytes);
  FUZZ_CHECK(image->bytes.size() <= zevactl::kMaxProgramBytes);
  FUZZ_CHECK(image->bytes.empty() ? image->gapBytes == 0 : image->gapBytes < image->bytes.size());

  std::string again;
  const auto reread = zevactl::ParseIntelHex(WriteHex(image->bytes, size > 0 ? input[0] : 0), &again);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(reread->bytes == image->bytes && reread->gapBytes == 0);
  return 0;
}
