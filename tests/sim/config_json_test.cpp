// zevasim's JSON bus description.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tools/zevasim/config_json.h"

namespace zeva::zevasim {
namespace {

TEST(ConfigJsonTest, ReadsTheWholeSchema) {
  const char* text = R"({
    "protocol": 1, "bps": 9600, "byteSize": 7, "localAddress": 3, "echo": false, "pacing": true,
    "turnaroundUs": 250, "adapterAcks": true, "seed": 42, "dropProbability": 0.1, "corruptProbability": 0.2,
    "devices": [
      { "address": 5, "serial": "S01A2B3", "product": 5, "version": "2.7",
        "remoteError": [3,17,5,2,40,8], "responseCode": 66, "queryReply": [1,2,3,4,5,6],
        "faults": { "dropAcks": 2, "silent": true, "extraAckDelayUs": 10, "extraReplyDelayUs": 20,
                    "wrongSource": 9, "wrongSourceReplies": -1, "corruptReplies": 1, "corruptIndex": 6,
                    "noiseBeforeReplies": [0, 255] } }
    ],
    "events": [
      { "atMs": 500, "kind": "unsolicited", "from": 5, "to": 3, "type": 0, "count": 2, "noAck": true,
        "data": [1,2] },
      { "atUs": 800, "kind": "linkReset", "from": 5, "type": 7, "code": 2 },
      { "atMs": 900, "kind": "noise", "bytes": [254, 1], "random": 3 },
      { "atMs": 1000, "kind": "unplug" }
    ]
  })";
  sim::SimSetup setup;
  std::string error;
  ASSERT_TRUE(LoadSetupJson(text, &setup, &error)) << error;
  EXPECT_EQ(setup.bus.protocol, 1);
  EXPECT_EQ(setup.bus.bps, 9600);
  EXPECT_EQ(setup.bus.byteSize, 7);
  EXPECT_EQ(setup.bus.localAddress, 3);
  EXPECT_FALSE(setup.bus.echo);
  EXPECT_TRUE(setup.bus.pacing);
  EXPECT_EQ(setup.bus.turnaroundUs, 250u);
  EXPECT_TRUE(setup.bus.adapterAcks);
  EXPECT_EQ(setup.bus.seed, 42u);
  EXPECT_DOUBLE_EQ(setup.lineFaults.dropProbability, 0.1);
  EXPECT_DOUBLE_EQ(setup.lineFaults.corruptProbability, 0.2);

  ASSERT_EQ(setup.devices.size(), 1u);
  const sim::DeviceSetup& d = setup.devices[0];
  EXPECT_EQ(d.config.serial, 0x01A2B3u);
  EXPECT_EQ(d.config.versionHigh, 2);
  EXPECT_EQ(d.config.versionLow, 7);
  EXPECT_EQ(d.config.remoteError, (sim::Bytes6{3, 17, 5, 2, 40, 8}));
  EXPECT_EQ(d.config.responseCode, 66);
  EXPECT_EQ(d.queryReply, (sim::Bytes6{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(d.faults.dropAcks, 2);
  EXPECT_TRUE(d.faults.silent);
  EXPECT_EQ(d.faults.wrongSourceReplies, -1);
  EXPECT_EQ(d.faults.corruptIndex, 6);
  EXPECT_EQ(d.faults.noiseBeforeReplies, std::vector<uint8_t>({0, 255}));

  ASSERT_EQ(setup.events.size(), 4u);
  EXPECT_EQ(setup.events[0].atUs, 500'000u);
  EXPECT_EQ(setup.events[0].control, 0x58) << "count 2, type 0, bits 3 and 4";
  EXPECT_EQ(setup.events[1].atUs, 800u);
  EXPECT_EQ(setup.events[1].type, 7);
  EXPECT_EQ(setup.events[2].randomCount, 3u);
  EXPECT_EQ(setup.events[3].kind, sim::ScheduledEvent::Kind::kUnplug);
}

// The demo bus installed as a bus description is the bus of --demo, so
// that a client developer's copy of it behaves as the demo does.
TEST(ConfigJsonTest, InstalledDemoBusIsTheDemoSetup) {
  std::ifstream in(ZEVA_DEMO_BUS_JSON);
  ASSERT_TRUE(in) << ZEVA_DEMO_BUS_JSON;
  std::stringstream text;
  text << in.rdbuf();
  sim::SimSetup file;
  std::string error;
  ASSERT_TRUE(LoadSetupJson(text.str(), &file, &error)) << error;

  const sim::SimSetup demo = sim::DemoSetup();
  EXPECT_EQ(file.bus.protocol, demo.bus.protocol);
  EXPECT_EQ(file.bus.bps, demo.bus.bps);
  EXPECT_EQ(file.bus.localAddress, demo.bus.localAddress);
  EXPECT_EQ(file.bus.echo, demo.bus.echo);
  EXPECT_TRUE(file.events.empty());
  ASSERT_EQ(file.devices.size(), demo.devices.size());
  for (size_t i = 0; i < demo.devices.size(); ++i) {
    const sim::DeviceConfig& got = file.devices[i].config;
    const sim::DeviceConfig& want = demo.devices[i].config;
    SCOPED_TRACE("device " + std::to_string(want.address));
    EXPECT_EQ(got.address, want.address);
    EXPECT_EQ(got.serial, want.serial);
    EXPECT_EQ(got.product, want.product);
    EXPECT_EQ(got.versionHigh, want.versionHigh);
    EXPECT_EQ(got.versionLow, want.versionLow);
    EXPECT_EQ(got.remoteError, want.remoteError);
    EXPECT_EQ(got.responseCode, want.responseCode);
    EXPECT_EQ(file.devices[i].queryReply, demo.devices[i].queryReply);
  }
}

struct BadCase {
  const char* name;
  const char* text;
};

const BadCase kBad[] = {
    {"Syntax", R"({"protocol": )"},
    {"UnknownKey", R"({"protocl": 2})"},
    {"UnknownDeviceKey", R"({"devices": [{"adress": 5}]})"},
    {"ProtocolRange", R"({"protocol": 3})"},
    {"AddressRange", R"({"devices": [{"address": 128}]})"},
    {"SerialText", R"({"devices": [{"serial": 12}]})"},
    {"VersionText", R"({"devices": [{"version": "27"}]})"},
    {"TooManyBytes", R"({"devices": [{"remoteError": [1,2,3,4,5,6,7]}]})"},
    {"NotAByte", R"({"devices": [{"queryReply": [256]}]})"},
    {"EventKind", R"({"events": [{"kind": "explode"}]})"},
    {"Probability", R"({"dropProbability": 1.5})"},
};

class BadConfigTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadConfigTest, IsRefusedAndLeavesTheSetupAlone) {
  sim::SimSetup setup = sim::DemoSetup();
  std::string error;
  EXPECT_FALSE(LoadSetupJson(GetParam().text, &setup, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(setup.devices.size(), 3u);
  EXPECT_EQ(setup.bus.protocol, 2);
}

INSTANTIATE_TEST_SUITE_P(Configs, BadConfigTest, ::testing::ValuesIn(kBad),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeva::zevasim
