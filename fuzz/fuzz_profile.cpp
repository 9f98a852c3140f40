// libFuzzer target for the profile (".ini") reader.
//
// Input: a three-byte header, the section and key names asked for, then the
// file's text.
//   byte 0: the buffer size offered (0 to 254; 255: 4096)
//   byte 1: length of the section name (bits 0-4)
//   byte 2: length of the key name (bits 0-4)
// Checked:
//   - the answer fits the buffer, and is the fallback or text of the file;
//   - section and key names answer the same in any case and with blanks
//     around them;
//   - a definition of the key placed before the text is the one found.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/profile.h"

namespace {

#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

constexpr size_t kHeader = 3;
constexpr std::string_view kFallback = "fallback value  ";  // read without its trailing blanks

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Cased(std::string_view s, bool upper) {
  std::string out(s);
  for (char& c : out) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A scratch file on a memory file system when there is one, made once per
// process and removed at its end. Never freed, so that it outlives the exit
// handler.
const std::string& FilePath() {
  static const std::string* path = [] {
    const char* tmp = getenv("TMPDIR");
    const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp != nullptr ? tmp : "/tmp");
    auto* file = new std::string(base + "/zeva-fuzz-profile.XXXXXX");
    const int fd = mkstemp(file->data());
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { std::remove(FilePath().c_str()); });
    return file;
  }();
  return *path;
}

void WriteFile(std::string_view text) {
  FILE* f = std::fopen(FilePath().c_str(), "wb");
  if (f == nullptr) std::abort();
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f) != text.size()) std::abort();
  std::fclose(f);
}

std::string Read(std::string_view section, std::string_view key, size_t size) {
  return zeva::posix::ReadProfileString(FilePath(), section, key, kFallback, size);
}

// Names that a line of the file can carry: not blank, no line break, and
// nothing that ends a section name or a key.
bool UsableSection(std::string_view name) {
  return !TrimView(name).empty() && name.find_first_of("]\n\r") == std::string_view::npos;
}
bool UsableKey(std::string_view name) {
  const std::string_view t = TrimView(name);
  return !t.empty() && t[0] != ';' && t[0] != '[' && name.find_first_of("=\n\r") == std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < kHeader) return 0;
  const size_t bufferSize = input[0] == 255 ? 4096 : input[0];
  size_t at = kHeader;
  const size_t sectionLength = std::min<size_t>(input[1] & 31, size - at);
  const std::string section(reinterpret_cast<const char*>(input + at), sectionLength);
  at += sectionLength;
  const size_t keyLength = std::min<size_t>(input[2] & 31, size - at);
  const std::string key(reinterpret_cast<const char*>(input + at), keyLength);
  at += keyLength;
  const std::string_view text(reinterpret_cast<const char*>(input + at), size - at);

  WriteFile(text);
  const std::string value = Read(section, key, bufferSize);
  FUZZ_CHECK(bufferSize == 0 ? value.empty() : value.size() < bufferSize);
  const std::string fallback(TrimView(kFallback).substr(0, bufferSize == 0 ? 0 : bufferSize - 1));
  FUZZ_CHECK(value == fallback || text.find(value) != std::string_view::npos);

  FUZZ_CHECK(Read(Cased(section, true), Cased(key, false), bufferSize) == value);
  FUZZ_CHECK(Read(Cased(section, false), Cased(key, true), bufferSize) == value);
  // (An empty name asks for nothing; one of blanks names the empty section
  // or key, which a file can have.)
  if (!section.empty() && !key.empty()) {
    FUZZ_CHECK(Read(" " + section + "\t", "\t" + key + " ", bufferSize) == value);
  }

  if (UsableSection(section) && UsableKey(key)) {
    const std::string defined = "[" + section + "]\n" + key + " = the value\n";
    WriteFile(defined + std::string(text));
    const std::string want = std::string("the value").substr(0, bufferSize == 0 ? 0 : bufferSize - 1);
    FUZZ_CHECK(Read(section, key, bufferSize) == want);
  }
  return 0;
}
