// Settings persistence through the registry interface: value types, rights
// check and the save's order and widths.
#include <gtest/gtest.h>

#include <functional>

#include "core/config.h"
#include "core/settings_store.h"
#include "support/fixture.h"
#include "api/lifecycle.h"

namespace zeva {
namespace {

using platform::RegStatus;
using platform::RegType;

void Store(platform::Registry& r, const char* name, RegType type, std::vector<uint8_t> bytes) {
  r.CreateKey(kSettingsKey);
  r.SetValue(kSettingsKey, name, type, bytes.data(), bytes.size());
}

TEST(ReadDwordTest, ValueTypesAndMissingValues) {
  const struct {
    const char* what;
    RegType type;
    std::vector<uint8_t> bytes;
    int32_t expect;
  } cases[] = {
      {"dword", RegType::kDword, {0x00, 0x4B, 0, 0}, 19200},
      {"negative dword", RegType::kDword, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {"text 19200", RegType::kSz, {'1', '9', '2', '0', '0', 0}, 0},
      {"binary of 4 bytes", RegType::kBinary, {1, 0, 0, 0}, 0},
      {"big-endian dword", RegType::kDwordBigEndian, {0, 0, 0x4B, 0}, 0},
      {"too large", RegType::kBinary, std::vector<uint8_t>(256, 1), 0},
      {"255 bytes of text", RegType::kSz, std::vector<uint8_t>(255, 'a'), 0},
  };
  for (const auto& c : cases) {
    testing::TestPlatform p;
    Store(p.registry(), "bps", c.type, c.bytes);
    SettingsStore store(p);
    EXPECT_EQ(store.ReadDword(kSettingsKey, "bps", 77), c.expect) << c.what;
  }
  testing::TestPlatform empty;
  SettingsStore store(empty);
  EXPECT_EQ(store.ReadDword(kSettingsKey, "bps", 77), 77) << "no key";
  empty.registry().CreateKey(kSettingsKey);
  EXPECT_EQ(store.ReadDword(kSettingsKey, "bps", 78), 78) << "no value";
}

// A value of another kind leaves the setting at its default, and the load
// names it; the stored value stays as it was.
TEST(LoadSettingsTest, ValuesOfAnotherKindKeepTheDefaultAndAreNamed) {
  const struct {
    const char* fault;
    const char* name;
    RegType type;
    std::vector<uint8_t> bytes;
    std::function<int32_t(const Settings&)> loaded;
    int32_t expect;
  } cases[] = {
      {"rate as text loaded as 0: no port ever opened", "bps", RegType::kSz, {'9', '6', '0', '0', 0},
       [](const Settings& s) { return s.bps; }, 19200},
      {"port as binary loaded as COM0", "Port", RegType::kBinary, {1, 0, 0, 0},
       [](const Settings& s) { return int32_t{s.port}; }, 1},
      {"time-out larger than 255 bytes loaded as 0", "PacketTimeout", RegType::kBinary,
       std::vector<uint8_t>(256, 1), [](const Settings& s) { return int32_t{s.packetTimeout}; }, 81},
  };
  for (const auto& c : cases) {
    testing::TestPlatform p;
    Store(p.registry(), c.name, c.type, c.bytes);
    DriverContext ctx(p);
    const std::vector<SettingNotTaken> notTaken = LoadSettings(ctx);
    EXPECT_EQ(c.loaded(ctx.core.settings), c.expect) << c.fault;
    ASSERT_EQ(notTaken.size(), 1u) << c.fault;
    EXPECT_EQ(notTaken[0].registryName, c.name);
    EXPECT_EQ(notTaken[0].why, SettingNotTaken::Why::kOtherKind);
    RegType type = RegType::kNone;
    std::vector<uint8_t> data;
    EXPECT_EQ(p.registry().QueryValue(kSettingsKey, c.name, 1024, &type, &data), RegStatus::kOk);
    EXPECT_EQ(data, c.bytes) << "the stored value is left as it was";
  }
}

int32_t Dword(testing::TestPlatform& p, const char* name) {
  SettingsStore store(p);
  return store.ReadDword(kSettingsKey, name, -12345);
}

TEST(SaveSettingsTest, WritesTheTenValuesAtTheirWidths) {
  test::DriverFixture f;
  config::SetLocalAddress(*f.ctx, -3);
  config::SetBusyTimeout(*f.ctx, 0);
  config::SetAdapterID(*f.ctx, 70000);
  config::SetRXbuffer(*f.ctx, 5000);
  SaveSettings(*f.ctx);
  EXPECT_TRUE(f.boxes.boxes().empty());
  EXPECT_EQ(Dword(f.platform, "LocalAddress"), 0);
  EXPECT_EQ(Dword(f.platform, "BusyTimeout"), 300);
  EXPECT_EQ(Dword(f.platform, "AdapterID"), 70000);
  EXPECT_EQ(Dword(f.platform, "RXBuffer"), 2048);
  EXPECT_EQ(Dword(f.platform, "PacketTimeout"), 81);
  EXPECT_EQ(Dword(f.platform, "Protocol"), 2);

  // The next load narrows what was saved.
  test::DriverFixture next(1000, false);
  Store(next.platform.registry(), "AdapterID", RegType::kDword, {0x70, 0x11, 0x01, 0x00});
  ProcessAttach(*next.ctx);
  EXPECT_EQ(next.ctx->core.settings.adapterId, 4464);
}

TEST(SaveSettingsTest, WithoutRightsEveryValueIsRefusedWithItsOwnBox) {
  test::DriverFixture f;
  f.platform.elevated = false;
  SaveSettings(*f.ctx);
  ASSERT_EQ(f.boxes.boxes().size(), 10u);
  for (const auto& box : f.boxes.boxes()) {
    EXPECT_EQ(box.text, "Settings write blocked: Admin privileges required.");
    EXPECT_EQ(box.caption, "ZEVA232 DLL Registry functions");
    EXPECT_EQ(box.type, unsigned{MB_ICONERROR});
  }
  EXPECT_FALSE(f.platform.registry().OpenKey(kSettingsKey));
}

// A registry whose key creation fails: each value reports the system's text
// and the save goes on.
class FailingRegistry : public platform::Registry {
 public:
  bool OpenKey(std::string_view) override { return false; }
  RegStatus QueryValue(std::string_view, std::string_view, size_t, RegType*, std::vector<uint8_t>*) override {
    return RegStatus::kNotFound;
  }
  RegStatus CreateKey(std::string_view) override {
    ++creates;
    return RegStatus::kError;
  }
  RegStatus SetValue(std::string_view, std::string_view, RegType, const uint8_t*, size_t) override {
    return RegStatus::kError;
  }
  int creates = 0;
};

class FailingRegistryPlatform : public testing::TestPlatform {
 public:
  platform::Registry& registry() override { return failing; }
  FailingRegistry failing;
};

TEST(SaveSettingsTest, KeyCreationFailureShowsSystemTextForEachValue) {
  FailingRegistryPlatform p;
  p.lastError = "Access is denied.";
  test::BoxRecorder boxes;
  DriverContext ctx(p);
  SaveSettings(ctx);
  EXPECT_EQ(p.failing.creates, 10);
  ASSERT_EQ(boxes.boxes().size(), 10u);
  EXPECT_EQ(boxes.boxes()[0].text, "Access is denied.");
  EXPECT_EQ(boxes.boxes()[0].caption, "ZEVA232 DLL Registry functions");
}

}  // namespace
}  // namespace zeva
