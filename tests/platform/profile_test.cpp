// Profile strings read the way the product-name lookup needs them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/profile.h"
#include "temp_prefix.h"

namespace {

using zeva::posix::ReadProfileString;
using zeva::testing::TempPrefix;

constexpr const char* kInf =
    "; product names\r\n"
    "[Other]\r\n"
    "5=Not this one\r\n"
    "\r\n"
    "  [ DeviceIDs ]  \r\n"
    "5=Thermo sensor\r\n"
    "  7  =   Relay board   \r\n"
    "8=\"Quoted name\"\r\n"
    "9=\r\n"
    "no equals sign here\r\n"
    ";10=commented out\r\n"
    "11=first\r\n"
    "11=second\r\n"
    "199=A name that is longer than the buffer\r\n";

TEST(ProfileTest, ReadsKeysWithGetPrivateProfileStringRules) {
  TempPrefix prefix;
  prefix.Write("Orlindo.inf", kInf);
  const struct {
    const char* section;
    const char* key;
    const char* fallback;
    size_t size;
    const char* want;
  } cases[] = {
      {"DeviceIDs", "5", "[product unknown]", 255, "Thermo sensor"},
      {"deviceids", "5", "[product unknown]", 255, "Thermo sensor"},
      {"DeviceIDs", "7", "[product unknown]", 255, "Relay board"},
      {"DeviceIDs", "8", "[product unknown]", 255, "Quoted name"},
      {"DeviceIDs", "9", "[product unknown]", 255, ""},
      {"DeviceIDs", "10", "[product unknown]", 255, "[product unknown]"},
      {"DeviceIDs", "11", "-", 255, "first"},
      {"DeviceIDs", "12", "[product unknown]", 255, "[product unknown]"},
      {"DeviceIDs", "no equals sign here", "-", 255, "-"},
      {"Missing", "5", "[product unknown]", 255, "[product unknown]"},
      {"Other", "5", "-", 255, "Not this one"},
      {"DeviceIDs", "199", "-", 10, "A name th"},
      {"DeviceIDs", "5", "-", 1, ""},
      {"DeviceIDs", "5", "-", 0, ""},
      {"DeviceIDs", "12", "[product unknown]", 5, "[pro"},
      {"DeviceIDs", "12", "fallback   ", 255, "fallback"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key + " size " + std::to_string(c.size));
    EXPECT_EQ(ReadProfileString("Orlindo.inf", c.section, c.key, c.fallback, c.size), c.want);
  }
}

// What an editor or a user may leave where the names are looked up.
TEST(ProfileTest, OnlyTheTextOfARegularFile) {
  const struct {
    const char* fault;
    std::string content;  // empty: a directory of that name
    const char* want;
  } cases[] = {
      {"a UTF-8 byte-order mark hid the first section: every name unknown",
       "\xEF\xBB\xBF[DeviceIDs]\r\n5=Thermo sensor\r\n", "Thermo sensor"},
      {"a directory of that name: the lookup failed or blocked", "", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    TempPrefix prefix;
    if (c.content.empty()) {
      ASSERT_EQ(mkdir(prefix.Path("Orlindo.inf").c_str(), 0755), 0);
    } else {
      prefix.Write("Orlindo.inf", c.content);
    }
    EXPECT_EQ(ReadProfileString("Orlindo.inf", "DeviceIDs", "5", "-", 255), c.want);
  }
}

TEST(ProfileTest, FindsBareNamesInThePrefixUnderAnySpelling) {
  TempPrefix prefix;
  EXPECT_EQ(ReadProfileString("Orlindo.inf", "DeviceIDs", "5", "[product unknown]", 255), "[product unknown]");
  prefix.Write("ORLINDO.INF", kInf);
  EXPECT_EQ(ReadProfileString("Orlindo.inf", "DeviceIDs", "5", "-", 255), "Thermo sensor");
  // A name with a directory is taken as it is.
  EXPECT_EQ(ReadProfileString(prefix.Path("ORLINDO.INF"), "DeviceIDs", "7", "-", 255), "Relay board");
  EXPECT_EQ(ReadProfileString(prefix.Path("missing.inf"), "DeviceIDs", "7", "-", 255), "-");
}

}  // namespace
