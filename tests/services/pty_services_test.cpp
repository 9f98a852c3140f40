// The device services on the real platform: zevasim on a pseudo-terminal,
// the termios port, the event thread and the window bridge, in real time.
// Short packet timeouts keep every test within a few seconds; every wait is
// bounded and only the zevasim started here is ever signalled.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "core/config.h"
#include "api/driver_context.h"
#include "api/lifecycle.h"
#include "link/frame.h"
#include "platform/temp_prefix.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "services/identify.h"
#include "services/program.h"
#include "support/fixture.h"
#include "support/zevasim_process.h"

namespace zeva::services_test {
namespace {

using test::ZevasimProcess;
using Bytes = std::vector<uint8_t>;

struct Seen {
  std::vector<std::string> firmware;  // "address serial name version"
  std::vector<std::string> found;     // "address serial"
  int32_t programDone = 0;
};
Seen gSeen;

void ZEVA_CALLBACK OnFirmwareInfo(int32_t address, const char* serial, int32_t, const char* name, int32_t,
                                  int32_t, const char* version) {
  gSeen.firmware.push_back(std::to_string(address) + " " + serial + " " + name + " " + version);
}
void ZEVA_CALLBACK OnDeviceFound(int32_t address, const char* serial, int32_t, int32_t, int32_t) {
  gSeen.found.push_back(std::to_string(address) + serial);
}
void ZEVA_CALLBACK OnProgramDone() { ++gSeen.programDone; }

LRESULT ClientWindowProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }

class PtyServices : public ::testing::Test {
 protected:
  void SetUp() override {
    gSeen = {};
    ASSERT_EQ(mkdir(prefix.Path("dosdevices").c_str(), 0755), 0);
    prefix.Write("Orlindo.inf", "[DeviceIDs]\n5=Valve controller\n");
    ProcessAttach(ctx);
    ctx.runtime.callbacks.onFirmwareInfo = &OnFirmwareInfo;
    ctx.runtime.callbacks.onDeviceFound = &OnDeviceFound;
    ctx.runtime.callbacks.onProgramDone = &OnProgramDone;
    config::SetPacketTimeout(ctx, 15);
    window = CreateMessageWindow(&ClientWindowProc);
  }
  void TearDown() override {
    ProcessDetach(ctx);
    DestroyWindow(window);
  }

  std::string Link() const { return prefix.Path("dosdevices/com1"); }

  testing::TempPrefix prefix;
  test::BoxRecorder boxes;
  DriverContext ctx{platform::RealPlatform()};
  HWND window = nullptr;
};

// The data bytes of the host's type-2 frames to `target` in zevasim's trace.
Bytes BodyFromTrace(const std::string& trace, uint8_t target) {
  Bytes body;
  std::istringstream lines(trace);
  std::string line;
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "host     FE %02X 01 ", target);
  while (std::getline(lines, line)) {
    if (line.find("host->line") == std::string::npos) continue;
    const size_t at = line.find(prefix);
    if (at == std::string::npos) continue;
    std::istringstream hex(line.substr(at + 9));
    std::vector<unsigned> frame;
    unsigned b;
    while (hex >> std::hex >> b) frame.push_back(b);
    if (frame.size() != link::kDataFrameSize || link::ControlType(static_cast<uint8_t>(frame[3])) != 2) continue;
    const unsigned count = link::ControlCount(static_cast<uint8_t>(frame[3]));
    for (unsigned i = 0; i < count && i < 6; ++i) body.push_back(static_cast<uint8_t>(frame[4 + i]));
  }
  return body;
}

TEST_F(PtyServices, GetFirmwareInfoReportsTheDevice) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(), {"--device", "5:S01A2B3:5:2.7"});
  ASSERT_TRUE(sim.ready());
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  EXPECT_EQ(GetFirmwareInfo(ctx, 5), 1);
  EXPECT_EQ(gSeen.firmware, (std::vector<std::string>{"5 S01A2B3 Valve controller 2.7"}));
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(PtyServices, MakeMapFindsThreeDevices) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(), {"--demo"});
  ASSERT_TRUE(sim.ready());
  config::SetPacketTimeout(ctx, 8);  // 127 silent-address waits of 16 ms
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  EXPECT_EQ(MakeMap(ctx), 1);
  EXPECT_EQ(gSeen.found, (std::vector<std::string>{"5 S01A2B3", "7 S00C0DE", "12 S1F2E3D"}));
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(PtyServices, SetAddrIDThenGetFirmwareInfoAtTheNewAddress) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(), {"--device", "0:S0ABCDE:7:1.3"});
  ASSERT_TRUE(sim.ready());
  SetClientHWND(ctx, window);
  EXPECT_EQ(SetAddrID(ctx, "S0ABCDE", 42, 0), 1);
  EXPECT_EQ(IsOpen(ctx), 0);  // left closed, as it was
  ASSERT_EQ(OpenCOM(ctx, window), 1);
  EXPECT_EQ(GetFirmwareInfo(ctx, 42), 1);
  EXPECT_EQ(gSeen.firmware, (std::vector<std::string>{"42 S0ABCDE [product unknown] 1.3"}));
}

TEST_F(PtyServices, ProgramDeliversTheExactBytes) {
  ZevasimProcess sim(ZEVASIM_PATH, Link(), {"--device", "0:S01A2B3:5:2.7"}, true);
  ASSERT_TRUE(sim.ready());
  SetClientHWND(ctx, window);
  Bytes program(300);
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 13 + 1);
  EXPECT_EQ(Program(ctx, "S01A2B3", 9, 5, 0, 2, program.data(), static_cast<int32_t>(program.size())), 1);
  EXPECT_EQ(ctx.services.lastProgramError, 0);
  EXPECT_EQ(gSeen.programDone, 1);
  EXPECT_TRUE(boxes.boxes().empty());
  sim.Stop();
  EXPECT_EQ(BodyFromTrace(sim.Output(), 9), program);
}

}  // namespace
}  // namespace zeva::services_test
