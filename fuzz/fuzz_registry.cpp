// libFuzzer target for the system.reg reader: the registry export text as a
// document, and the file-backed registry that reads and rewrites it.
//
// Input: a four-byte header, the new value's data and name, then the text.
//   byte 0: bit 0 the write also goes through the file registry; bits 1-3
//           the new value's type (none, sz, expand sz, binary, dword, dword
//           big endian, multi sz, qword); bits 4-7 which candidate key
//           the value is written to
//   byte 1: capacity offered to the queries (255: unlimited)
//   byte 2: length of the new value's data (0 to 63)
//   byte 3: bit 7 set: the name of a value already in the text (candidate
//           number in bits 0-6); otherwise the name is the next (bits 0-4)
//           bytes
// Checked:
//   - read and written back untouched, the text comes out line for line as
//     it went in (a header line added when it had none);
//   - what was written back reads the same keys and values again;
//   - the file registry answers exactly what the document holds;
//   - a value set in the document (or through the file registry), written
//     and read again, is the value set, every other value stays as it was,
//     and every line that holds no value is still there.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/reg_document.h"
#include "platform/posix/registry_file.h"

namespace {

using zeva::platform::RegStatus;
using zeva::platform::RegType;
using namespace zeva::posix;

#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

constexpr size_t kHeader = 4;
constexpr size_t kMaxCandidates = 12;
constexpr RegType kTypes[8] = {RegType::kNone,           RegType::kSz,      RegType::kExpandSz,
                               RegType::kBinary,         RegType::kDword,   RegType::kDwordBigEndian,
                               RegType::kMultiSz,        RegType::kQword};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && Blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && Blank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The lines of the text as an editor shows them: a byte order mark dropped,
// one carriage return before each line feed dropped.
std::vector<std::string> Lines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

// Key paths and value names that the text mentions, to ask about.
struct Candidates {
  std::vector<std::string> keys{"", "Software"};
  std::vector<std::string> names{"", "Port"};
};

Candidates Gather(const std::vector<std::string>& lines) {
  Candidates c;
  constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
  for (const std::string& raw : lines) {
    const std::string_view line = TrimView(raw);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string_view inner = TrimView(line.substr(1, line.size() - 2));
      const bool underRoot = inner.size() > kRoot.size() && inner[kRoot.size()] == '\\' &&
                             SameNoCase(inner.substr(0, kRoot.size()), kRoot);
      if (underRoot && c.keys.size() < kMaxCandidates) {
        const std::string key(inner.substr(kRoot.size() + 1));
        c.keys.push_back(key);
        const size_t parent = key.rfind('\\');
        if (parent != std::string::npos && c.keys.size() < kMaxCandidates) {
          c.keys.push_back(key.substr(0, parent));
        }
      }
    } else if (!line.empty() && (line[0] == '"' || line[0] == '@')) {
      auto value = ParseValueLine(line);
      if (value && c.names.size() < kMaxCandidates) c.names.push_back(value->name);
    }
  }
  return c;
}

bool SameValue(const RegValue* a, const RegValue* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->type == b->type && a->data == b->data;
}

// The property a written document keeps: the same keys and values.
void CheckSameContent(const RegDocument& a, const RegDocument& b, const Candidates& c) {
  for (const std::string& key : c.keys) {
    FUZZ_CHECK(a.HasKey(key) == b.HasKey(key));
    for (const std::string& name : c.names) {
      FUZZ_CHECK(SameValue(a.FindValue(key, name), b.FindValue(key, name)));
    }
  }
}

// A scratch prefix on a memory file system when there is one (the writes
// sync), made once per process and removed at its end. Never freed, so that
// it outlives the exit handler.
const std::string& Prefix() {
  static const std::string* prefix = [] {
    const char* tmp = getenv("TMPDIR");
    const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (tmp != nullptr ? tmp : "/tmp");
    auto* dir = new std::string(base + "/zeva-fuzz-reg.XXXXXX");
    if (mkdtemp(dir->data()) == nullptr) std::abort();
    std::atexit([] {
      std::remove((Prefix() + "/system.reg").c_str());
      rmdir(Prefix().c_str());
    });
    return dir;
  }();
  return *prefix;
}

void WriteFile(const std::string& path, std::string_view text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), f) != text.size()) std::abort();
  std::fclose(f);
}

// The file registry gives what the document holds, capacity applied.
void CheckFileAnswers(RegFileRegistry& registry, const RegDocument& doc, const Candidates& c,
                      size_t capacity) {
  for (const std::string& key : c.keys) {
    FUZZ_CHECK(registry.OpenKey(key) == doc.HasKey(key));
    for (const std::string& name : c.names) {
      RegType type = RegType::kNone;
      std::vector<uint8_t> data;
      const RegStatus status = registry.QueryValue(key, name, capacity, &type, &data);
      const RegValue* want = doc.HasKey(key) ? doc.FindValue(key, name) : nullptr;
      if (want == nullptr) {
        FUZZ_CHECK(status == RegStatus::kNotFound);
      } else if (want->data.size() > capacity) {
        FUZZ_CHECK(status == RegStatus::kMoreData && type == want->type);
      } else {
        FUZZ_CHECK(status == RegStatus::kOk && type == want->type && data == want->data);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < kHeader) return 0;
  const uint8_t flags = input[0];
  const size_t capacity = input[1] == 255 ? SIZE_MAX : input[1];
  size_t at = kHeader;
  const size_t dataLength = std::min<size_t>(input[2] & 63, size - at);
  RegValue value;
  value.type = kTypes[(flags >> 1) & 7];
  value.data.assign(input + at, input + at + dataLength);
  at += dataLength;
  const bool nameFromText = (input[3] & 0x80) != 0;
  if (!nameFromText) {
    const size_t nameLength = std::min<size_t>(input[3] & 31, size - at);
    value.name.assign(reinterpret_cast<const char*>(input + at), nameLength);
    at += nameLength;
  }
  const std::string_view text(reinterpret_cast<const char*>(input + at), size - at);

  // Read, written back untouched: line for line what went in.
  const RegDocument doc = RegDocument::Parse(text);
  const std::vector<std::string> lines = Lines(text);
  const Candidates candidates = Gather(lines);
  const std::string written = doc.Serialize();
  {
    std::string body;
    for (const std::string& line : lines) body += line + '\n';
    FUZZ_CHECK(written.size() >= body.size());
    FUZZ_CHECK(written.compare(written.size() - body.size(), body.size(), body) == 0);
    const std::string_view added(written.data(), written.size() - body.size());
    FUZZ_CHECK(added.empty() || added == std::string(kRegFileHeader) + "\n\n");
  }
  const RegDocument again = RegDocument::Parse(written);
  CheckSameContent(doc, again, candidates);
  FUZZ_CHECK(again.Serialize() == written || written.find('\r') != std::string::npos);

  // The file registry reads what the document holds.
  const std::string path = Prefix() + "/system.reg";
  WriteFile(path, text);
  RegFileRegistry registry(Prefix());
  CheckFileAnswers(registry, doc, candidates, capacity);

  // A value set, written and read again.
  if (nameFromText) value.name = candidates.names[(input[3] & 0x7F) % candidates.names.size()];
  const std::string& key = candidates.keys[(flags >> 4) % candidates.keys.size()];
  if (!IsWritableName(value.name)) return 0;
  // A section header is read trimmed, so a key whose path ends in a blank
  // cannot be named by a section of its own: left out.
  const std::string normalized = NormalizeKeyPath(key);
  if (!normalized.empty() && Blank(normalized.back())) return 0;
  RegDocument changed = RegDocument::Parse(text);
  const bool set = changed.SetValue(key, value);
  FUZZ_CHECK(set == doc.HasKey(key));
  const std::string rewritten = changed.Serialize();
  const RegDocument reread = RegDocument::Parse(rewritten);
  // Lines that hold no value (comments, other keys' headers, what does not
  // parse) survive the change as they were.
  {
    const std::vector<std::string> after = Lines(rewritten);
    const std::set<std::string> kept(after.begin(), after.end());
    for (const std::string& line : lines) {
      if (line.empty() || Blank(line[0]) || line[0] == '"' || line[0] == '@') continue;
      FUZZ_CHECK(kept.count(line) != 0 || line.find('\r') != std::string::npos);
    }
  }
  for (const std::string& k : candidates.keys) {
    FUZZ_CHECK(reread.HasKey(k) == doc.HasKey(k));
    for (const std::string& name : candidates.names) {
      const bool isSet =
          set && SameNoCase(NormalizeKeyPath(k), NormalizeKeyPath(key)) && SameNoCase(name, value.name);
      if (!isSet) FUZZ_CHECK(SameValue(reread.FindValue(k, name), doc.FindValue(k, name)));
    }
  }
  if (set) {
    FUZZ_CHECK(SameValue(reread.FindValue(key, value.name), &value));
  } else {
    FUZZ_CHECK(reread.FindValue(key, value.name) == nullptr);
  }

  if ((flags & 1) != 0) {
    const RegStatus status =
        registry.SetValue(key, value.name, value.type, value.data.data(), value.data.size());
    FUZZ_CHECK(status == (set ? RegStatus::kOk : RegStatus::kNotFound));
    RegType type = RegType::kNone;
    std::vector<uint8_t> data;
    const RegStatus read = registry.QueryValue(key, value.name, SIZE_MAX, &type, &data);
    if (set) {
      FUZZ_CHECK(read == RegStatus::kOk && type == value.type && data == value.data);
    } else {
      FUZZ_CHECK(read == RegStatus::kNotFound);
    }
  }
  return 0;
}
