// The registry export text: reading what regedit writes, writing what it
// reads, and keeping what neither understands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/reg_document.h"

namespace {

using zeva::platform::RegType;
using zeva::posix::FormatValue;
using zeva::posix::ParseValueLine;
using zeva::posix::RegDocument;
using zeva::posix::RegValue;

constexpr const char* kKey = "Software\\Velmora\\Orlindo";

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> Sz(const std::string& text) {
  std::vector<uint8_t> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

TEST(RegDocumentTest, ReadsTheExportFormat) {
  const RegDocument doc = RegDocument::Parse(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]\r\n"
      "\"bps\"=dword:00004b00\r\n"
      "\"Port\"=hex:01,00,00,00\r\n"
      "\"x\"=\"te\\\"x\\\\t\"\r\n"
      "\"y\"=hex(5):00,00,4b,00\r\n"
      "\"long\"=hex(7):41,00,42,00,\\\r\n"
      "  43,00,00\r\n"
      "@=\"default\"\r\n");
  struct Want {
    const char* name;
    RegType type;
    std::vector<uint8_t> data;
  };
  const Want wants[] = {
      {"bps", RegType::kDword, Bytes({0x00, 0x4b, 0, 0})},
      {"Port", RegType::kBinary, Bytes({1, 0, 0, 0})},
      {"x", RegType::kSz, Sz("te\"x\\t")},
      {"y", RegType::kDwordBigEndian, Bytes({0, 0, 0x4b, 0})},
      {"long", RegType::kMultiSz, Bytes({'A', 0, 'B', 0, 'C', 0, 0})},
      {"", RegType::kSz, Sz("default")},
  };
  for (const Want& want : wants) {
    SCOPED_TRACE(want.name);
    const RegValue* value = doc.FindValue(kKey, want.name);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, want.type);
    EXPECT_EQ(value->data, want.data);
  }
}

TEST(RegDocumentTest, MalformedLinesAnswerNothingAndHurtNothingElse) {
  const char* bad[] = {
      "\"a\"=dword:xyz",         "\"a\"=dword:123456789", "\"a\"=dword:",       "\"a\"=hex:1,2,zz",
      "\"a\"=hex:100",           "\"a\"=hex:01,,02",      "\"a\"=hex(:01",      "\"a\"=hex(zz):01",
      "\"a\"=\"unterminated",    "\"a\"=\"x\" trailing",  "\"a\"=-",            "\"a\"",
      "\"a\"=qword:01",          "a=dword:00000001",      "\"a=dword:00000001", "=dword:00000001",
      "\"a\"=hex:01,\\",         "\x01\x02\xff garbage",
  };
  for (const char* line : bad) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(ParseValueLine(line).has_value());
    const std::string text = std::string("[HKEY_LOCAL_MACHINE\\K]\n") + line + "\n\"good\"=dword:00000001\n";
    const RegDocument doc = RegDocument::Parse(text);
    EXPECT_EQ(doc.FindValue("K", "a"), nullptr);
    ASSERT_NE(doc.FindValue("K", "good"), nullptr);
    EXPECT_EQ(doc.Serialize(), "Windows Registry Editor Version 5.00\n\n" + text);
  }
}

TEST(RegDocumentTest, KeysMatchWithoutRegardToCaseAndOnlyUnderTheMachineRoot) {
  const RegDocument doc = RegDocument::Parse(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_CURRENT_USER\\Software\\Velmora\\Orlindo]\n\"bps\"=dword:00000001\n\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n\n"
      "[hkey_local_machine\\SOFTWARE\\velmora\\ORLINDO]\n\"Port\"=dword:00000002\n");
  EXPECT_TRUE(doc.HasKey(kKey));
  EXPECT_TRUE(doc.HasKey("Software\\Velmora"));  // through its subkey
  EXPECT_TRUE(doc.HasKey(""));
  EXPECT_FALSE(doc.HasKey("Software\\Velm"));
  EXPECT_FALSE(doc.HasKey("Software\\Gone"));
  EXPECT_EQ(doc.FindValue(kKey, "bps"), nullptr);
  EXPECT_NE(doc.FindValue(kKey, "PORT"), nullptr);
  EXPECT_NE(doc.FindValue("\\Software\\\\Velmora\\Orlindo\\", "port"), nullptr);
}

TEST(RegDocumentTest, TheLastDefinitionWinsAndIsTheOneReplaced) {
  RegDocument doc = RegDocument::Parse(
      "[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000002\n");
  ASSERT_NE(doc.FindValue("K", "v"), nullptr);
  EXPECT_EQ(doc.FindValue("K", "v")->data[0], 2);
  ASSERT_TRUE(doc.SetValue("K", {"v", RegType::kDword, Bytes({3, 0, 0, 0})}));
  EXPECT_EQ(doc.Serialize(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000003\n");
}

TEST(RegDocumentTest, FormatsEachTypeAsRegeditDoesAndReadsItBack) {
  std::vector<uint8_t> hundred(100);
  for (size_t i = 0; i < hundred.size(); ++i) hundred[i] = static_cast<uint8_t>(i);
  struct Case {
    RegValue value;
    const char* firstLine;  // what the text starts with
  };
  const Case cases[] = {
      {{"bps", RegType::kDword, Bytes({0x00, 0x4b, 0, 0})}, "\"bps\"=dword:00004b00"},
      {{"x", RegType::kSz, Sz("C:\\dir \"q\"")}, "\"x\"=\"C:\\\\dir \\\"q\\\"\""},
      {{"Port", RegType::kBinary, Bytes({1, 0, 0, 0})}, "\"Port\"=hex:01,00,00,00"},
      {{"e", RegType::kExpandSz, Sz("%P%")}, "\"e\"=hex(2):25,50,25,00"},
      {{"q", RegType::kQword, Bytes({1, 2, 3, 4, 5, 6, 7, 8})}, "\"q\"=hex(b):01,02"},
      {{"be", RegType::kDwordBigEndian, Bytes({0, 0, 0x4b, 0})}, "\"be\"=hex(5):00,00,4b,00"},
      {{"short dword", RegType::kDword, Bytes({1, 2})}, "\"short dword\"=hex(4):01,02"},
      {{"empty", RegType::kBinary, {}}, "\"empty\"=hex:"},
      {{"none", RegType::kNone, {}}, "\"none\"=hex(0):"},
      {{"nl", RegType::kSz, Sz("a\nb")}, "\"nl\"=hex(1):61,0a,62,00"},
      {{"no terminator", RegType::kSz, Bytes({'a'})}, "\"no terminator\"=hex(1):61"},
      {{"", RegType::kSz, Sz("default")}, "@=\"default\""},
      {{"big", RegType::kBinary, hundred}, "\"big\"=hex:00,01,02"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstLine);
    const std::string text = FormatValue(c.value);
    EXPECT_EQ(text.rfind(c.firstLine, 0), 0u) << text;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
      EXPECT_LE(end - start, 80u);
    }
    RegDocument doc = RegDocument::Parse("");
    doc.AddKey(kKey);
    ASSERT_TRUE(doc.SetValue(kKey, c.value));
    const RegDocument again = RegDocument::Parse(doc.Serialize());
    const RegValue* read = again.FindValue(kKey, c.value.name);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->type, c.value.type);
    EXPECT_EQ(read->data, c.value.data);
  }
}

}  // namespace
