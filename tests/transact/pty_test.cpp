// Send and receive on the real platform: zevasim on a pseudo-terminal, the
// termios port, the event thread and the window bridge, in real time. Every
// wait is bounded; the tests take well under a few seconds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "core/config.h"
#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "platform/temp_prefix.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "support/fixture.h"
#include "support/zevasim_process.h"
#include "transact/send.h"

namespace zeva::transact_test {
namespace {

using namespace std::chrono_literals;
using test::ZevasimProcess;

struct Received {
  int32_t source = -1;
  int32_t eventCode = -1;
  std::vector<uint8_t> data;
};
Received gReceived;

void ZEVA_CALLBACK OnData(int32_t source, int32_t, int32_t, int32_t, const uint8_t* data, int32_t eventCode) {
  gReceived = {source, eventCode, std::vector<uint8_t>(data, data + 6)};
}

LRESULT ClientWindowProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }

class PtySend : public ::testing::Test {
 protected:
  void SetUp() override {
    gReceived = {};
    ASSERT_EQ(mkdir(prefix.Path("dosdevices").c_str(), 0755), 0);
    ProcessAttach(ctx);
    ctx.runtime.callbacks.onDataReceived = &OnData;
    window = CreateMessageWindow(&ClientWindowProc);
  }
  void TearDown() override {
    ProcessDetach(ctx);
    DestroyWindow(window);
  }

  std::string Link() const { return prefix.Path("dosdevices/com1"); }

  // Serves the queue until a frame reached the client, at most 3 s.
  bool AwaitDataReceived() {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (gReceived.source < 0 && std::chrono::steady_clock::now() < deadline) WaitForFlags(ctx, 10, 0);
    return gReceived.source >= 0;
  }

  testing::TempPrefix prefix;
  test::BoxRecorder boxes;
  DriverContext ctx{platform::RealPlatform()};
  HWND window = nullptr;
};

TEST_F(PtySend, SendIsAcknowledged) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(), {"--device", "5:S01A2B3:5:2.7"});
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  ctx.transact.outputBuffer[0] = 0x0F;
  EXPECT_EQ(Send(ctx, 5, 0x33, 0), 1);
  // The device answers the type-1 message with its reply.
  ASSERT_TRUE(AwaitDataReceived());
  EXPECT_EQ(gReceived.source, 5);
  EXPECT_EQ(gReceived.data, (std::vector<uint8_t>{0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x33}));
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(PtySend, SilentAddressFailsAfterFiveAttempts) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(), {"--device", "5:S01A2B3:5:2.7"}, true);
  ASSERT_TRUE(sim.ready());
  config::SetPacketTimeout(ctx, 20);  // keeps the five attempts short
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  EXPECT_EQ(Send(ctx, 9, 0x33, 0), 0);
  EXPECT_FALSE(ctx.core.flags.AllSet(SF_TX_ACTIVE));
  sim.Stop();
  const std::string& trace = sim.Output();
  size_t writes = 0;
  for (size_t at = trace.find("FE 09 01 C1"); at != std::string::npos; at = trace.find("FE 09 01 C1", at + 1)) {
    ++writes;
  }
  EXPECT_EQ(writes, 5u);
}

TEST_F(PtySend, UnsolicitedFrameReachesTheClientAndIsAcknowledged) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(),
                     {"--device", "5:S01A2B3:5:2.7", "--unsolicited", "700:5:1:0xC4:010203040506"}, true);
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  ASSERT_TRUE(AwaitDataReceived());
  EXPECT_EQ(gReceived.source, 5);
  EXPECT_EQ(gReceived.eventCode, 5);
  EXPECT_EQ(gReceived.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  WaitForFlags(ctx, 50, 0);  // the acknowledgement's echo is in by now
  sim.Stop();
  EXPECT_NE(sim.Output().find("host->line  host     FE 05 01 10 DE"), std::string::npos) << sim.Output();
}

}  // namespace
}  // namespace zeva::transact_test
