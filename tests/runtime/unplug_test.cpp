// Unplugging the adapter, through the exported functions on the real
// platform: the line disappears in the middle of a program transfer, during
// a bus map, during a wait for an answer and between calls. Every call then
// ends with its failure within a bounded time, CloseCOM returns promptly, a
// new line opens and works, and no descriptor or thread is left behind.
//
// zevasim plays the adapter on a pseudo-terminal; killing it closes the
// terminal as pulling the adapter would, and leaves its link dangling as a
// vanished device node does. Only the zevasim started here is ever
// signalled, and every wait is bounded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/instance.h"
#include "platform/platform.h"
#include "platform/temp_prefix.h"
#include "support/zevasim_process.h"
#include "zeva232.h"
#include "zeva232_posix.h"

namespace zeva::serial_test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::ZevasimProcess;

// Bounds that only a hang exceeds; the measured figures are printed.
constexpr auto kCallBound = 30s;
constexpr auto kCloseBound = 5s;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// fd number -> what it refers to.
std::map<int, std::string> OpenDescriptors() {
  std::map<int, std::string> fds;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string name = entry.path().filename().string();
    std::error_code linkError;
    const std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
    // The listing's own descriptor is there only while it is being listed.
    if (linkError || target.rfind("/proc/", 0) == 0) continue;
    fds[std::stoi(name)] = target;
  }
  return fds;
}

size_t ThreadCount() {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec); it != std::filesystem::end(it);
       ++it) {
    ++n;
  }
  return n;
}

// What the client sees, and what a callback does once the line is to go.
struct Seen {
  std::vector<std::pair<int32_t, std::string>> driverErrors;
  std::vector<std::string> boxes;
  std::vector<int32_t> mapProgress;
  int32_t bodyShare = 0;  // the largest share of a program body reported
  int32_t firmware = 0;
  std::vector<int32_t> found;
  std::function<void(int32_t mapAddress)> atMapProgress;
  std::function<void(int32_t share)> atBodyShare;
};
Seen gSeen;

void ZEVA_CALLBACK OnMapProgress(int32_t address) {
  gSeen.mapProgress.push_back(address);
  if (gSeen.atMapProgress) gSeen.atMapProgress(address);
}
void ZEVA_CALLBACK OnDeviceFound(int32_t address, const char*, int32_t, int32_t, int32_t) {
  gSeen.found.push_back(address);
}
void ZEVA_CALLBACK OnFirmwareInfo(int32_t, const char*, int32_t, const char*, int32_t, int32_t, const char*) {
  ++gSeen.firmware;
}
void ZEVA_CALLBACK OnProgress(int32_t value, const char* text) {
  // The transmitter reports the share of the body sent with an empty text.
  if (text == nullptr || text[0] != '\0') return;
  if (value > gSeen.bodyShare) gSeen.bodyShare = value;
  if (gSeen.atBodyShare) gSeen.atBodyShare(value);
}
void ZEVA_CALLBACK OnDriverError(int32_t code, const char* text) { gSeen.driverErrors.emplace_back(code, text); }
int RecordBox(const char* text, const char*, unsigned) {
  gSeen.boxes.emplace_back(text);
  return IDOK;
}

bool HasDriverError(int32_t code) {
  for (const auto& e : gSeen.driverErrors) {
    if (e.first == code) return true;
  }
  return false;
}

LRESULT ZEVA_WINDOW_PROC ClientProc(HWND, unsigned, WPARAM, LPARAM) { return 0; }

// Serves the client's queue for `ms`, as a client idling in its loop does.
void ServeQueue(std::chrono::milliseconds ms) {
  const auto until = Clock::now() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    if (Clock::now() >= until) return;
    std::this_thread::sleep_for(5ms);
  }
}

constexpr const char* kDevice5 = "5:S01A2B3:5:2.7";

struct UnplugCase {
  const char* name;
  std::vector<std::string> simArgs;
  int32_t packetTimeout;
  // Runs the call with the line going away inside it (or before it);
  // `unplug` pulls the line. Returns the call's result.
  std::function<int32_t(const std::function<void()>& unplug, ZevasimProcess& sim)> run;
  int32_t expected;
  // Checks particular to the case, after the call.
  std::function<void()> check;
  // The port stays open until the client closes it, unless the call
  // reopened it.
  bool openAfter = true;
};

void PrintTo(const UnplugCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> Body(size_t n) {
  std::vector<uint8_t> body(n);
  for (size_t i = 0; i < n; ++i) body[i] = static_cast<uint8_t>(i * 7 + 3);
  return body;
}

const UnplugCase kCases[] = {
    {"DuringProgramDirectBody",
     {"--device", kDevice5},
     15,
     [](const std::function<void()>& unplug, ZevasimProcess&) {
       gSeen.atBodyShare = [&](int32_t share) {
         if (share >= 10) unplug();
       };
       const std::vector<uint8_t> body = Body(3000);
       return ProgramDirect("S01A2B3", 5, 5, 0, 0, body.data(), static_cast<int32_t>(body.size()));
     },
     0,
     [] {
       EXPECT_GE(gSeen.bodyShare, 10) << "the line went during the body";
       EXPECT_LT(gSeen.bodyShare, 100);
       EXPECT_EQ(GetLastProgramError(), 3);
       EXPECT_TRUE(HasDriverError(4));
     }},
    {"DuringProgramBody",
     {"--device", kDevice5},
     15,
     [](const std::function<void()>& unplug, ZevasimProcess&) {
       gSeen.atBodyShare = [&](int32_t share) {
         if (share >= 10) unplug();
       };
       const std::vector<uint8_t> body = Body(3000);
       return Program("S01A2B3", 5, 5, 0, 0, body.data(), static_cast<int32_t>(body.size()));
     },
     // The download still runs to its end: the closing broadcasts go
     // unacknowledged, and a write that fails counts as sent.
     1,
     [] {
       EXPECT_GE(gSeen.bodyShare, 10);
       EXPECT_LT(gSeen.bodyShare, 100);
       EXPECT_EQ(GetLastProgramError(), 3) << "the body failed";
       EXPECT_TRUE(HasDriverError(4));
     }},
    {"DuringMap",
     {"--demo"},
     15,
     [](const std::function<void()>& unplug, ZevasimProcess&) {
       gSeen.atMapProgress = [&](int32_t address) {
         if (address == 20) unplug();
       };
       return MakeMap();
     },
     // Probes go unacknowledged and a failed write counts as sent: the map
     // runs to its end, finding nobody after the line went.
     1,
     [] {
       ASSERT_FALSE(gSeen.mapProgress.empty());
       EXPECT_EQ(gSeen.mapProgress.back(), 0) << "the map says it ended";
       EXPECT_EQ(gSeen.found, (std::vector<int32_t>{5, 7, 12}));
     }},
    {"DuringWaitForAnswer",
     // The device takes the request at once and answers only after 5 s.
     {"--device", kDevice5, "--reply-delay-us", "5:5000000"},
     300,
     [](const std::function<void()>& unplug, ZevasimProcess& sim) {
       // The line goes while the query waits for its answer: a little after
       // the request went out, well inside the 600 ms the answer is awaited.
       std::atomic<bool> done{false};
       std::thread puller([&] {
         const auto deadline = Clock::now() + 10s;
         while (!done && Clock::now() < deadline && sim.Output().find("host->line") == std::string::npos) {
           std::this_thread::sleep_for(2ms);
         }
         std::this_thread::sleep_for(100ms);
         if (!done) unplug();
       });
       const int32_t result = Query(5, nullptr, 1, 42);
       done = true;
       puller.join();
       return result;
     },
     0,
     [] {}},
    {"BetweenCalls",
     {"--device", kDevice5},
     15,
     [](const std::function<void()>& unplug, ZevasimProcess&) {
       EXPECT_EQ(GetFirmwareInfo(5), 1);
       unplug();
       ServeQueue(100ms);
       // The client goes on calling, not knowing: each call fails in its
       // own way and returns.
       uint8_t data[6] = {1, 2, 3, 4, 5, 6};
       uint8_t frame[11] = {0xFE, 5, 1, 0xC1, 1, 2, 3, 4, 5, 6, 0};
       int16_t checksum = 0;
       const struct {
         const char* name;
         std::function<int32_t()> call;
         int32_t expected;
       } calls[] = {
           {"Send", [] { return Send(5, 20, 0); }, 0},
           {"SendData", [&] { return SendData(5, 0, 1, data, 6); }, 0},
           {"sendRaw", [&] { return sendRaw(frame, 11, &checksum, 1); }, 0},
           {"TestStream", [] { return TestStream(0x55, 4); }, 1},  // whatever the write did
           {"ResetComm", [] { return ResetComm(5); }, 0},
           {"ClearRemoteError", [] { return ClearRemoteError(5); }, 0},
           {"GetRemoteError", [] { return GetRemoteError(5); }, 0},
           {"Query", [] { return Query(5, nullptr, 1, 7); }, 0},
           {"GetFirmwareInfo", [] { return GetFirmwareInfo(5); }, 0},
       };
       for (const auto& c : calls) {
         const auto start = Clock::now();
         EXPECT_EQ(c.call(), c.expected) << c.name;
         std::printf("[ figures  ] after the unplug: %s %.3f s\n", c.name, SecondsSince(start));
       }
       EXPECT_EQ(checksum, 0) << "sendRaw wrote nothing";
       // The restart reopens the port: the line is gone, so it stays closed.
       return Restart();
     },
     0,
     [] {
       EXPECT_EQ(gSeen.firmware, 1);
       EXPECT_TRUE(HasDriverError(6)) << "the port did not open";
     },
     false},
};

class UnplugTest : public ::testing::TestWithParam<UnplugCase> {
 protected:
  void SetUp() override {
    gSeen = {};
    ASSERT_EQ(mkdir(prefix.Path("dosdevices").c_str(), 0755), 0);
    previousHook = SetMessageBoxHook(&RecordBox);
    // A fresh driver with the default settings of the empty prefix.
    api::Load(platform::RealPlatform());
    window = CreateMessageWindow(&ClientProc);
    // A sanitizer's runtime starts a thread of its own with the process's
    // first thread and keeps it: let that happen before counting.
    std::thread([] {}).join();
    fdsBefore = OpenDescriptors();
    threadsBefore = ThreadCount();
  }
  void TearDown() override {
    api::Unload();  // closes the port and gives the window its procedure back
    DestroyWindow(window);
    SetMessageBoxHook(previousHook);
  }

  // A new zevasim serving COM`port`.
  std::unique_ptr<ZevasimProcess> StartSim(int port, const std::vector<std::string>& args, bool trace) {
    auto sim = std::make_unique<ZevasimProcess>(ZEVASIM_PATH, prefix.Path("dosdevices/com" + std::to_string(port)),
                                                args, trace);
    EXPECT_TRUE(sim->ready());
    return sim;
  }

  testing::TempPrefix prefix;
  ZEVA_MESSAGEBOX_HOOK previousHook = nullptr;
  HWND window = nullptr;
  std::map<int, std::string> fdsBefore;
  size_t threadsBefore = 0;
};

TEST_P(UnplugTest, CallFailsCloseReturnsAndANewLineWorks) {
  const UnplugCase& c = GetParam();
  SetCallbackEvents(nullptr, nullptr, &OnMapProgress, &OnDeviceFound, &OnFirmwareInfo, nullptr, &OnProgress, nullptr,
                    nullptr, &OnDriverError);
  SetNoErrMsgBox(1);
  SetPacketTimeout(c.packetTimeout);
  {
    auto sim = StartSim(1, c.simArgs, std::string(c.name) == "DuringWaitForAnswer");
    ASSERT_TRUE(sim->ready());
    SetCOMPort(1);
    ASSERT_EQ(OpenCOM(window), 1);

    bool unplugged = false;
    const auto unplug = [&] {
      if (unplugged) return;
      unplugged = true;
      sim->Stop(SIGKILL);
    };
    const auto start = Clock::now();
    const int32_t result = c.run(unplug, *sim);
    const double callSeconds = SecondsSince(start);
    gSeen.atBodyShare = nullptr;
    gSeen.atMapProgress = nullptr;
    // Failures reported as events reach the client when it next serves its queue.
    ServeQueue(0ms);
    EXPECT_TRUE(unplugged) << "the line never went";
    EXPECT_EQ(result, c.expected);
    EXPECT_LT(callSeconds, std::chrono::duration<double>(kCallBound).count());
    c.check();
    EXPECT_EQ(IsOpen(), c.openAfter ? 1 : 0);

    const auto closeStart = Clock::now();
    CloseCOM();
    const double closeSeconds = SecondsSince(closeStart);
    EXPECT_LT(closeSeconds, std::chrono::duration<double>(kCloseBound).count());
    EXPECT_EQ(IsOpen(), 0);
    std::printf("[ figures  ] %s: call %.3f s, CloseCOM %.4f s, %zu driver errors, %zu boxes\n", c.name,
                callSeconds, closeSeconds, gSeen.driverErrors.size(), gSeen.boxes.size());
  }

  // Replugged: a new adapter on a new port.
  {
    auto sim = StartSim(2, {"--device", kDevice5}, false);
    ASSERT_TRUE(sim->ready());
    SetCOMPort(2);
    gSeen.firmware = 0;
    ASSERT_EQ(OpenCOM(window), 1);
    EXPECT_EQ(GetFirmwareInfo(5), 1);
    EXPECT_EQ(gSeen.firmware, 1);
    CloseCOM();
  }

  EXPECT_EQ(OpenDescriptors(), fdsBefore) << "no descriptor is left open";
  // A joined thread may still be listed for a moment while the system
  // releases it.
  const auto deadline = Clock::now() + 2s;
  while (ThreadCount() != threadsBefore && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ThreadCount(), threadsBefore) << "no thread is left running";
}

INSTANTIATE_TEST_SUITE_P(Line, UnplugTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeva::serial_test
