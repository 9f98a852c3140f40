// libFuzzer target for how zevactl tells a program file's format: by the
// user's word, by the file's name, never by a guess of raw binary.
//
// Input: byte 0 picks the file name (no extension, .hex, .bin, .txt,
// .IHX), byte 1 the format asked (auto, hex, bin), the rest is the file's
// content.
// Checked:
//   - an accepted image is not empty and fits a download (65535 bytes);
//   - raw binary only when asked (--format bin, or a .bin name), and then
//     it is the content exactly;
//   - read as HEX, a UTF-8 byte-order mark in front changes nothing, and
//     the result is the HEX reader's on the content;
//   - with a name that promises nothing, an accepted file was text;
//   - "auto" with a .hex or .bin name reads as that format asked outright;
//   - a refusal names the file first.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/zevactl/program_file.h"

namespace {

#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

using zevactl::ProgramFormat;
using zevactl::ProgramImage;

constexpr std::string_view kNames[] = {"prog", "prog.hex", "prog.bin", "notes.txt", "PROG.IHX"};
constexpr ProgramFormat kFormats[] = {ProgramFormat::kAuto, ProgramFormat::kHex, ProgramFormat::kBinary};
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool Same(const std::optional<ProgramImage>& a, const std::optional<ProgramImage>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->bytes == b->bytes && a->fromHex == b->fromHex && a->gapBytes == b->gapBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 2) return 0;
  const std::string_view name = kNames[input[0] % std::size(kNames)];
  const ProgramFormat asked = kFormats[input[1] % std::size(kFormats)];
  const std::string_view content(reinterpret_cast<const char*>(input + 2), size - 2);

  std::string error;
  const auto image = zevactl::ReadProgram(name, content, asked, &error);
  const ProgramFormat byName = zevactl::FormatOfName(name);
  const ProgramFormat effective = asked != ProgramFormat::kAuto ? asked : byName;

  if (!image) {
    FUZZ_CHECK(error.rfind(std::string(name) + ": ", 0) == 0);
  } else {
    FUZZ_CHECK(!image->bytes.empty() && image->bytes.size() <= zevactl::kMaxProgramBytes);
    if (!image->fromHex) {
      FUZZ_CHECK(effective == ProgramFormat::kBinary);
      FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(image->bytes.data()), image->bytes.size()) ==
                 content);
    }
    if (effective == ProgramFormat::kAuto) FUZZ_CHECK(image->fromHex && zevactl::LooksLikeText(content));
  }

  if (effective == ProgramFormat::kBinary) {
    FUZZ_CHECK(content.empty() || (image && !image->fromHex));
  } else if (effective == ProgramFormat::kHex) {
    std::string_view body = content;
    if (body.substr(0, kByteOrderMark.size()) == kByteOrderMark) body.remove_prefix(kByteOrderMark.size());
    std::string hexError;
    auto hex = zevactl::ParseIntelHex(body, &hexError);
    if (hex && (hex->bytes.empty() || hex->bytes.size() > zevactl::kMaxProgramBytes)) hex.reset();
    FUZZ_CHECK(Same(image, hex));
    // The mark once more in front of the content: the same result, unless
    // the content began with one already (two marks are not HEX).
    if (content.substr(0, kByteOrderMark.size()) != kByteOrderMark) {
      std::string marked(kByteOrderMark);
      marked += content;
      std::string markedError;
      FUZZ_CHECK(Same(zevactl::ReadProgram(name, marked, asked, &markedError), image));
    }
  }

  if (asked == ProgramFormat::kAuto && byName != ProgramFormat::kAuto) {
    std::string outrightError;
    FUZZ_CHECK(Same(zevactl::ReadProgram(name, content, byName, &outrightError), image));
  }
  return 0;
}
