// The registry over a real system.reg in a temporary prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>
#include <string>
#include <vector>

#include "platform/posix/last_error.h"
#include "platform/posix/registry_file.h"
#include "temp_prefix.h"

namespace {

using zeva::platform::RegStatus;
using zeva::platform::RegType;
using zeva::posix::RegFileRegistry;
using zeva::testing::TempPrefix;

constexpr const char* kKey = "Software\\Velmora\\Orlindo";

std::vector<uint8_t> Dword(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> Sz(const std::string& text) {
  std::vector<uint8_t> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  return names;
}

RegStatus Set(RegFileRegistry& reg, const char* name, RegType type, const std::vector<uint8_t>& data) {
  return reg.SetValue(kKey, name, type, data.data(), data.size());
}

TEST(RegFileRegistryTest, EachTypeSurvivesAWriteAndAFreshRead) {
  TempPrefix prefix;
  std::vector<uint8_t> big(300, 0xA5);
  const struct {
    const char* name;
    RegType type;
    std::vector<uint8_t> data;
  } values[] = {
      {"bps", RegType::kDword, Dword(19200)},
      {"Text", RegType::kSz, Sz("say \"hi\" C:\\")},
      {"List", RegType::kMultiSz, {'a', 0, 'b', 0, 0}},
      {"Big", RegType::kBinary, big},
      {"", RegType::kSz, Sz("default value")},
  };
  RegFileRegistry writer(prefix.dir());
  ASSERT_EQ(writer.CreateKey(kKey), RegStatus::kOk);
  for (const auto& v : values) ASSERT_EQ(Set(writer, v.name, v.type, v.data), RegStatus::kOk) << v.name;

  RegFileRegistry reader;  // follows ZEVA_PREFIX
  EXPECT_TRUE(reader.OpenKey(kKey));
  for (const auto& v : values) {
    SCOPED_TRACE(v.name);
    RegType type = RegType::kNone;
    std::vector<uint8_t> data;
    ASSERT_EQ(reader.QueryValue(kKey, v.name, 1024, &type, &data), RegStatus::kOk);
    EXPECT_EQ(type, v.type);
    EXPECT_EQ(data, v.data);
  }
  const std::string text = prefix.Read("system.reg");
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]\n"
                       "\"bps\"=dword:00004b00\n",
                       0),
            0u)
      << text;
}

TEST(RegFileRegistryTest, AValueLargerThanTheCapacityIsMoreData) {
  TempPrefix prefix;
  RegFileRegistry reg;
  ASSERT_EQ(reg.CreateKey(kKey), RegStatus::kOk);
  ASSERT_EQ(Set(reg, "bps", RegType::kDword, Dword(9600)), RegStatus::kOk);
  ASSERT_EQ(Set(reg, "Blob", RegType::kBinary, std::vector<uint8_t>(256, 1)), RegStatus::kOk);
  const struct {
    const char* name;
    size_t capacity;
    RegStatus status;
    RegType type;
  } cases[] = {
      {"bps", 3, RegStatus::kMoreData, RegType::kDword},   {"bps", 4, RegStatus::kOk, RegType::kDword},
      {"Blob", 255, RegStatus::kMoreData, RegType::kBinary}, {"Blob", 256, RegStatus::kOk, RegType::kBinary},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.capacity));
    RegType type = RegType::kNone;
    std::vector<uint8_t> data{9};
    EXPECT_EQ(reg.QueryValue(kKey, c.name, c.capacity, &type, &data), c.status);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(data.empty(), c.status == RegStatus::kMoreData);
  }
}

TEST(RegFileRegistryTest, MissingOrUnparsableKeysAndValuesAreNotFound) {
  TempPrefix prefix;
  RegFileRegistry reg;
  RegType type = RegType::kNone;
  std::vector<uint8_t> data;
  EXPECT_FALSE(reg.OpenKey(kKey));
  EXPECT_EQ(reg.QueryValue(kKey, "bps", 255, &type, &data), RegStatus::kNotFound);
  EXPECT_EQ(Set(reg, "bps", RegType::kDword, Dword(1)), RegStatus::kNotFound);  // no key yet
  EXPECT_FALSE(std::filesystem::exists(prefix.Path("system.reg")));

  ASSERT_EQ(reg.CreateKey(kKey), RegStatus::kOk);
  EXPECT_TRUE(reg.OpenKey(kKey));
  EXPECT_TRUE(reg.OpenKey("software\\VELMORA"));
  EXPECT_FALSE(reg.OpenKey("Software\\Velmora\\Orlindo\\Sub"));
  EXPECT_EQ(reg.QueryValue(kKey, "bps", 255, &type, &data), RegStatus::kNotFound);

  // A file that is not an export at all holds no keys.
  prefix.Write("system.reg", std::string("\x00\xff\xfe[garbage\n\"bps\"=dword:1\n", 26));
  EXPECT_FALSE(reg.OpenKey(kKey));
}

TEST(RegFileRegistryTest, AWriteKeepsEverythingElseInPlace) {
  TempPrefix prefix;
  const std::string before =
      "Windows Registry Editor Version 5.00\n\n"
      "; written by hand\n"
      "[HKEY_CURRENT_USER\\Software\\Velmora\\Orlindo]\n\"bps\"=dword:00000001\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]\n"
      "\"PacketTimeout\"=dword:00000051\n"
      "\"bps\" = dword:00002580\n"
      "\"odd\"=dword:nothex\n"
      "\"Blob\"=hex:01,02,\\\n  03\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"x\"=\"y\"\n";
  prefix.Write("system.reg", before);
  RegFileRegistry reg;
  ASSERT_EQ(reg.CreateKey("SOFTWARE\\velmora\\orlindo"), RegStatus::kOk);
  EXPECT_EQ(prefix.Read("system.reg"), before);  // an existing key is not rewritten

  ASSERT_EQ(reg.SetValue("software\\velmora\\orlindo", "BPS", RegType::kDword, Dword(0x4b00).data(), 4),
            RegStatus::kOk);
  ASSERT_EQ(Set(reg, "Port", RegType::kDword, Dword(2)), RegStatus::kOk);
  std::string after = before;
  after.replace(after.find("\"bps\" = dword:00002580\n"), 23, "\"bps\"=dword:00004b00\n");
  after.replace(after.find("  03\n") + 5, 0, "\"Port\"=dword:00000002\n");
  EXPECT_EQ(prefix.Read("system.reg"), after);
}

TEST(RegFileRegistryTest, RewritesAtomicallyKeepingTheModeAndLeavingNoTemporaryFile) {
  TempPrefix prefix;
  RegFileRegistry reg;
  ASSERT_EQ(reg.CreateKey(kKey), RegStatus::kOk);
  struct stat st {};
  ASSERT_EQ(stat(prefix.Path("system.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  ASSERT_EQ(chmod(prefix.Path("system.reg").c_str(), 0600), 0);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(Set(reg, "Port", RegType::kDword, Dword(i)), RegStatus::kOk);
  ASSERT_EQ(stat(prefix.Path("system.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(FilesIn(prefix.dir()), std::vector<std::string>{"system.reg"});
}

TEST(RegFileRegistryTest, CreatesAMissingPrefixDirectory) {
  TempPrefix prefix;
  RegFileRegistry reg(prefix.Path("etc/zeva232"));
  ASSERT_EQ(reg.CreateKey(kKey), RegStatus::kOk);
  ASSERT_EQ(Set(reg, "bps", RegType::kDword, Dword(1)), RegStatus::kOk);
  EXPECT_TRUE(std::filesystem::exists(prefix.Path("etc/zeva232/system.reg")));
}

TEST(RegFileRegistryTest, AFileThatCannotBeReadIsNeverOverwritten) {
  const struct {
    const char* name;
    void (*make)(const std::string& path);
    int error;
  } cases[] = {
      {"read fails", [](const std::string& path) { std::filesystem::create_directory(path); }, EISDIR},
      {"open fails", [](const std::string& path) { std::filesystem::create_symlink(path, path); }, ELOOP},
      // Fault: a pipe of that name blocked the library's start for good.
      {"a pipe", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempPrefix prefix;
    const std::string path = prefix.Path("system.reg");
    c.make(path);
    const auto before = std::filesystem::symlink_status(path).type();
    RegFileRegistry reg;
    zeva::posix::SetLastErrorText("");
    EXPECT_EQ(reg.CreateKey(kKey), RegStatus::kError);
    EXPECT_EQ(zeva::posix::LastErrorText(), std::system_category().message(c.error));
    EXPECT_EQ(Set(reg, "bps", RegType::kDword, Dword(1)), RegStatus::kError);
    EXPECT_FALSE(reg.OpenKey(kKey));
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), before);
    EXPECT_EQ(FilesIn(prefix.dir()), std::vector<std::string>{"system.reg"});
  }
}

TEST(RegFileRegistryTest, NamesThatTheFileCannotHoldAreRefused) {
  TempPrefix prefix;
  RegFileRegistry reg;
  ASSERT_EQ(reg.CreateKey(kKey), RegStatus::kOk);
  const std::string before = prefix.Read("system.reg");
  EXPECT_EQ(reg.CreateKey("Software\nInjected"), RegStatus::kError);
  EXPECT_EQ(Set(reg, "a\n[HKEY_LOCAL_MACHINE\\X]", RegType::kDword, Dword(1)), RegStatus::kError);
  EXPECT_EQ(reg.SetValue(kKey, std::string_view("a\0b", 3), RegType::kDword, Dword(1).data(), 4),
            RegStatus::kError);
  EXPECT_EQ(reg.SetValue(kKey, "n", RegType::kBinary, nullptr, 4), RegStatus::kError);
  EXPECT_EQ(prefix.Read("system.reg"), before);
}

}  // namespace
