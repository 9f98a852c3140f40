// The real platform's own services: version resource, prefix, registry
// location and the wait for a message or a tick.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/posix_platform.h"
#include "temp_prefix.h"
#include "zeva232_posix.h"

namespace {

using zeva::platform::RealPlatform;
using zeva::platform::RegStatus;
using zeva::testing::TempPrefix;

TEST(PosixPlatformTest, VersionResourceStrings) {
  const struct {
    const char* name;
    const char* want;
  } cases[] = {
      {"FileVersion", "1, 2, 0, 19"},
      {"ProductVersion", "1, 0, 0, 1"},
      {"FileDescription", "ZEVA serial driver for RS485 adapters"},
      {"ProductName", "ZEVA serial driver"},
      {"fileversion", "1, 2, 0, 19"},
      {"CompanyName", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(RealPlatform().VersionString(c.name), c.want) << c.name;
}

TEST(PosixPlatformTest, TheRegistryFollowsThePrefixOfTheMoment) {
  const char* key = "Software\\Velmora\\Orlindo";
  TempPrefix first;
  ASSERT_EQ(RealPlatform().registry().CreateKey(key), RegStatus::kOk);
  EXPECT_TRUE(RealPlatform().registry().OpenKey(key));
  {
    TempPrefix second;
    EXPECT_FALSE(RealPlatform().registry().OpenKey(key));
  }
  EXPECT_TRUE(RealPlatform().registry().OpenKey(key));
}

TEST(PosixPlatformTest, WaitForMessageOrTickEndsAtTheTickOrAtAMessage) {
  auto& platform = RealPlatform();
  // A tick in the past (also one just behind across the wrap) ends at once.
  platform.WaitForMessageOrTick(platform.TickCount() - 1);
  platform.WaitForMessageOrTick(platform.TickCount() - 0x7FFFFFFFu);

  uint32_t tick = platform.TickCount() + 30;
  platform.WaitForMessageOrTick(tick);
  EXPECT_GE(static_cast<int32_t>(platform.TickCount() - tick), 0);

  PostMessageA(nullptr, 0x400, 0, 0);
  tick = platform.TickCount() + 10000;
  platform.WaitForMessageOrTick(tick);
  EXPECT_LT(static_cast<int32_t>(platform.TickCount() - tick), 0);  // the message ended it
  MSG msg{};
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

}  // namespace
