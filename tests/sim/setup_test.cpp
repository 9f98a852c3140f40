// Describing a bus as data: device texts, validation, building, the demo.
#include <gtest/gtest.h>

#include "sim/setup.h"
#include "tests/sim/host_harness.h"

namespace zeva::sim {
namespace {

struct DeviceTextCase {
  const char* text;
  bool ok;
  uint8_t address;
  uint32_t serial;
  uint8_t product;
  uint8_t high;
  uint8_t low;
};

const DeviceTextCase kDeviceTexts[] = {
    {"5:S01A2B3:5:2.7", true, 5, 0x01A2B3, 5, 2, 7},
    {"127:s1f:255:0.0", true, 127, 0x1F, 255, 0, 0},
    {"0:00C0DE:12:0.9", true, 0, 0x00C0DE, 12, 0, 9},
    {"128:S01A2B3:5:2.7", false, 0, 0, 0, 0, 0},
    {"5:S1234567:5:2.7", false, 0, 0, 0, 0, 0},  // seven digits
    {"5:SXYZ:5:2.7", false, 0, 0, 0, 0, 0},
    {"5:S01A2B3:256:2.7", false, 0, 0, 0, 0, 0},
    {"5:S01A2B3:5:27", false, 0, 0, 0, 0, 0},
    {"5:S01A2B3:5:2.", false, 0, 0, 0, 0, 0},
    {"5:S01A2B3:5", false, 0, 0, 0, 0, 0},
    {"", false, 0, 0, 0, 0, 0},
};

class DeviceTextTest : public ::testing::TestWithParam<DeviceTextCase> {};

TEST_P(DeviceTextTest, Parses) {
  const DeviceTextCase& c = GetParam();
  std::string error;
  const std::optional<DeviceConfig> config = ParseDeviceText(c.text, &error);
  ASSERT_EQ(config.has_value(), c.ok) << error;
  if (!c.ok) {
    EXPECT_FALSE(error.empty());
    return;
  }
  EXPECT_EQ(config->address, c.address);
  EXPECT_EQ(config->serial, c.serial);
  EXPECT_EQ(config->product, c.product);
  EXPECT_EQ(config->versionHigh, c.high);
  EXPECT_EQ(config->versionLow, c.low);
}

INSTANTIATE_TEST_SUITE_P(Texts, DeviceTextTest, ::testing::ValuesIn(kDeviceTexts));

struct ValidateCase {
  const char* name;
  std::function<void(SimSetup&)> change;
  bool ok;
};

const ValidateCase kValidations[] = {
    {"Demo", [](SimSetup&) {}, true},
    {"Protocol3", [](SimSetup& s) { s.bus.protocol = 3; }, false},
    {"DeviceOnHostAddress", [](SimSetup& s) { s.devices[0].config.address = 1; }, false},
    {"EventFromUnknownDevice",
     [](SimSetup& s) {
       ScheduledEvent e;
       e.kind = ScheduledEvent::Kind::kUnsolicited;
       e.from = 99;
       s.events.push_back(e);
     },
     false},
    {"UnsolicitedShortControl",
     [](SimSetup& s) {
       ScheduledEvent e;
       e.kind = ScheduledEvent::Kind::kUnsolicited;
       e.from = 5;
       e.control = 0x10;
       s.events.push_back(e);
     },
     false},
    {"LinkResetType5",
     [](SimSetup& s) {
       ScheduledEvent e;
       e.kind = ScheduledEvent::Kind::kLinkReset;
       e.from = 5;
       e.type = 5;
       s.events.push_back(e);
     },
     false},
};

class ValidateTest : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateTest, RefusesUnusableSetups) {
  SimSetup setup = DemoSetup();
  GetParam().change(setup);
  EXPECT_EQ(ValidateSetup(setup).empty(), GetParam().ok) << ValidateSetup(setup);
  std::string error;
  EXPECT_EQ(BuildBus(setup, &error) != nullptr, GetParam().ok);
}

INSTANTIATE_TEST_SUITE_P(Setups, ValidateTest, ::testing::ValuesIn(kValidations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SetupTest, DemoBusAnswersAMapOfItsThreeDevices) {
  std::string error;
  std::unique_ptr<Bus> bus = BuildBus(DemoSetup(), &error);
  ASSERT_TRUE(bus) << error;
  testing::Host host(*bus);
  for (uint8_t address = 1; address <= 127; ++address) {
    host.Write(host.Request(address, {0, 0, 0, 0, 0, 250}, /*noAck=*/true));
    host.Run(5000);
  }
  std::vector<std::vector<uint8_t>> replies;
  for (const auto& f : host.Frames()) {
    if (f[2] != host.local()) replies.push_back(f);
  }
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0][2], 5);
  EXPECT_EQ(replies[1][2], 7);
  EXPECT_EQ(replies[1][8], 0) << "version high 0";
  EXPECT_EQ(replies[2][2], 12);
}

TEST(SetupTest, ScheduledEventsAndFixedQueryReply) {
  SimSetup setup;
  DeviceSetup d;
  d.config = {5, 0x01A2B3, 5, 2, 7, {}, 0};
  d.queryReply = Bytes6{9, 8, 7, 6, 5, 4};
  setup.devices.push_back(d);
  ScheduledEvent noise;
  noise.kind = ScheduledEvent::Kind::kNoise;
  noise.atUs = 2000;
  noise.bytes = {0x12, 0x34};
  ScheduledEvent unplug;
  unplug.kind = ScheduledEvent::Kind::kUnplug;
  unplug.atUs = 50'000;
  setup.events = {noise, unplug};
  std::string error;
  std::unique_ptr<Bus> bus = BuildBus(setup, &error);
  ASSERT_TRUE(bus) << error;
  testing::Host host(*bus);
  host.Run(3000);
  EXPECT_EQ(host.received(), std::vector<uint8_t>({0x12, 0x34}));
  host.Clear();
  host.Write(host.Request(5, {0, 0, 0, 0, 0, 0x2A}));
  host.Run(10'000);
  const std::vector<std::vector<uint8_t>> frames = host.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(frames[2].begin() + 4, frames[2].begin() + 10),
            std::vector<uint8_t>({9, 8, 7, 6, 5, 4}));
  host.Run(50'000);
  EXPECT_TRUE(host.hungUp());
}

}  // namespace
}  // namespace zeva::sim
