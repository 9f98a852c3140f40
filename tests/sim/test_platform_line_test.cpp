// The bus as the test platform's line: the driver's serial port sees the
// echo, the acknowledgement and the reply at their virtual times.
#include <gtest/gtest.h>

#include "platform/testing/test_platform.h"
#include "sim/bus.h"
#include "sim/line_scanner.h"

namespace zeva::sim {
namespace {

TEST(TestPlatformLineTest, PortReceivesTheExchangeAtWireSpeed) {
  zeva::testing::TestPlatform platform;
  BusConfig config;
  config.pacing = true;
  Bus bus(config);
  bus.AddDevice({5, 0x01A2B3, 5, 2, 7, {}, 0});
  platform.AttachLine(1, &bus);

  platform::SerialStatus status;
  std::unique_ptr<platform::SerialPort> port = platform.OpenSerial(1, platform::SerialConfig{}, &status);
  ASSERT_TRUE(status.ok());
  // The reader takes the bytes at each event, so each arrival is news.
  std::vector<uint64_t> events;
  std::vector<uint8_t> got;
  auto thread = platform.StartEventThread(*port, {}, [&](uint32_t mask) {
    if ((mask & platform::kEvRxChar) == 0) return;
    events.push_back(platform.NowUs());
    uint8_t bytes[64];
    const int32_t n = port->Read(bytes, 64).count;
    got.insert(got.end(), bytes, bytes + n);
  });
  ASSERT_TRUE(thread);

  const uint8_t identify[6] = {0, 0, 0, 0, 0, 250};
  const link::DataFrame request = link::EncodeDataFrame(2, 5, 1, 0xC1, identify);
  ASSERT_TRUE(port->Write(request.data(), 11).ok());
  platform.AdvanceMs(50);

  const std::vector<std::vector<uint8_t>> frames = SplitFrames(2, got);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>(request.begin(), request.end()));
  EXPECT_EQ(frames[2][2], 5);
  // One receive event per character, the last when the reply's last byte is in.
  ASSERT_EQ(events.size(), 27u);
  EXPECT_EQ(events[10], bus.WireTimeUs(11));
  EXPECT_EQ(events.back(), bus.WireTimeUs(11) + 1000 + bus.WireTimeUs(5) + 1000 + bus.WireTimeUs(11));
  port->Close();
}

TEST(TestPlatformLineTest, UnplugIsAHangUpForThePort) {
  zeva::testing::TestPlatform platform;
  Bus bus;
  platform.AttachLine(1, &bus);
  platform::SerialStatus status;
  auto port = platform.OpenSerial(1, platform::SerialConfig{}, &status);
  ASSERT_TRUE(port);
  auto thread = platform.StartEventThread(*port, {}, [](uint32_t) {});
  bus.Unplug(2000);
  platform.AdvanceMs(5);
  uint8_t byte = 0;
  EXPECT_EQ(port->Read(&byte, 1).code, platform::SerialStatus::Code::kFailed);
}

}  // namespace
}  // namespace zeva::sim
