// The whole serial channel on the real platform: zevasim on a
// pseudo-terminal, the termios port, the event thread and the window bridge.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "link/frame.h"
#include "platform/temp_prefix.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "support/fixture.h"
#include "support/zevasim_process.h"

namespace zeva::serial_test {
namespace {

using namespace std::chrono_literals;

// zevasim serving COM`port` of a temporary prefix, with device 5.
class Simulator : public test::ZevasimProcess {
 public:
  Simulator(const std::string& prefixDir, int port)
      : ZevasimProcess(ZEVASIM_PATH, prefixDir + "/dosdevices/com" + std::to_string(port),
                       {"--device", "5:S01A2B3:5:2.7"}) {}
};

struct Received {
  int32_t source = -1;
  std::vector<uint8_t> data;
};
Received gReceived;

void OnData(int32_t source, int32_t, int32_t, int32_t, const uint8_t* data, int32_t) {
  gReceived.source = source;
  gReceived.data.assign(data, data + 6);
}

LRESULT ZEVA_WINDOW_PROC ClientWindowProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }

class PtyDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gReceived = {};
    ASSERT_EQ(mkdir(prefix.Path("dosdevices").c_str(), 0755), 0);
    ProcessAttach(ctx);
    ctx.core.settings.port = 12;  // numbers above 9 work as well
    ctx.runtime.callbacks.onDataReceived = &OnData;
    window = CreateMessageWindow(&ClientWindowProc);
  }
  void TearDown() override {
    ProcessDetach(ctx);
    DestroyWindow(window);
  }

  // A frame for device 5, written and judged as the transmitter does.
  int32_t SendToDevice5(const uint8_t data[6]) {
    const link::DataFrame frame = link::EncodeDataFrame(2, 5, 1, 0xC1, data);
    ctx.transact.lastDestination = 5;
    ctx.core.flags.Clear(SF_ACK_RECEIVED);
    return WriteBytes(ctx, frame.data(), link::kDataFrameSize, WaitFor::kAck);
  }

  // Serves the queue until a frame was delivered to the client, at most 2 s.
  bool AwaitDataReceived() {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (gReceived.source < 0 && std::chrono::steady_clock::now() < deadline) WaitForFlags(ctx, 10, 0);
    return gReceived.source >= 0;
  }

  testing::TempPrefix prefix;
  test::BoxRecorder boxes;
  DriverContext ctx{platform::RealPlatform()};
  HWND window = nullptr;
};

const uint8_t kClearError[6] = {0, 0, 0, 0, 0, 252};      // answered by the acknowledgement only
const uint8_t kQuery[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x21};  // answered with a reply

TEST_F(PtyDriverTest, OpenWriteReadCloseReopen) {
  Simulator sim(prefix.dir(), 12);
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(ctx.core.switches.echoCheck, 1);

  ASSERT_EQ(OpenCOM(ctx, window), 1);
  EXPECT_EQ(SendToDevice5(kClearError), link::kDataFrameSize);  // the echo came back unchanged
  EXPECT_TRUE(ctx.core.flags.AllSet(SF_ACK_RECEIVED));

  EXPECT_EQ(SendToDevice5(kQuery), link::kDataFrameSize);
  ASSERT_TRUE(AwaitDataReceived());
  EXPECT_EQ(gReceived.source, 5);
  EXPECT_EQ(gReceived.data, (std::vector<uint8_t>{0xEF, 0xDF, 0xCF, 0xBF, 0xAF, 0x21}));

  CloseCOM(ctx);
  EXPECT_EQ(IsOpen(ctx), 0);
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  EXPECT_EQ(SendToDevice5(kClearError), link::kDataFrameSize);
  EXPECT_TRUE(ctx.core.flags.AllSet(SF_ACK_RECEIVED));
  CloseCOM(ctx);
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(PtyDriverTest, CloseAfterTheLineWentAway) {
  Simulator sim(prefix.dir(), 12);
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  sim.Stop(SIGKILL);

  // Not waited for on this thread: a close that hangs must fail the test,
  // not stall it.
  auto closed = std::make_shared<std::promise<void>>();
  auto done = closed->get_future();
  std::thread([this, closed] {
    CloseCOM(ctx);
    closed->set_value();
  }).detach();
  ASSERT_EQ(done.wait_for(1s), std::future_status::ready);
  EXPECT_EQ(IsOpen(ctx), 0);
}

TEST_F(PtyDriverTest, MissingDeviceShowsTheSystemMessage) {
  ASSERT_EQ(symlink("/nonexistent/ttyZEVA", prefix.Path("dosdevices/com12").c_str()), 0);
  EXPECT_EQ(OpenCOM(ctx, window), 0);
  EXPECT_EQ(IsOpen(ctx), 0);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "No such file or directory");
  EXPECT_EQ(boxes.boxes()[0].caption, "JV ZEVA COM driver");
  EXPECT_EQ(boxes.boxes()[0].type, static_cast<unsigned>(MB_ICONINFORMATION));
}

}  // namespace
}  // namespace zeva::serial_test
