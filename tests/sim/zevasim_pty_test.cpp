// zevasim on a pseudo-terminal, in real time: the built tool is started,
// talked to through its terminal and stopped by its pid. Every wait is
// bounded.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "link/frame.h"
#include "sim/line_scanner.h"
#include "support/zevasim_process.h"

namespace zeva::sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(5);

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// zevasim with the options of each test, stopped by its pid if a test
// leaves it running.
class Zevasim : public test::ZevasimProcess {
 public:
  explicit Zevasim(const std::vector<std::string>& args) : ZevasimProcess(ZEVASIM_PATH, args) {}
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/zevasim-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fd;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

std::vector<uint8_t> ReadBytes(int fd, size_t want) {
  std::vector<uint8_t> got;
  const auto deadline = Clock::now() + kWait;
  while (got.size() < want && Clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
    uint8_t buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

std::string LinkTarget(const std::string& link) {
  char buffer[512];
  const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

TEST(ZevasimPtyTest, AnswersAnIdentificationAndExitsCleanlyOnSigterm) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  // zevasim creates the link and nothing else: the folder is the caller's.
  ASSERT_EQ(mkdir((dir.path() + "/dosdevices").c_str(), 0755), 0);
  const std::string link = dir.path() + "/dosdevices/com1";
  Zevasim sim({"--device", "5:S01A2B3:5:2.7", "--link", link});
  ASSERT_GT(sim.pid(), 0);
  const std::optional<std::string> slave = sim.ReadLine();
  ASSERT_TRUE(slave) << "no terminal path printed";
  EXPECT_EQ(LinkTarget(link), *slave);

  const int fd = OpenRaw(*slave);
  ASSERT_GE(fd, 0);
  const uint8_t identify[6] = {0, 0, 0, 0, 0, 250};
  const link::DataFrame request = link::EncodeDataFrame(2, 5, 1, 0xC1, identify);
  ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const std::vector<uint8_t> got = ReadBytes(fd, 11 + 5 + 11);
  close(fd);

  const std::vector<std::vector<uint8_t>> frames = SplitFrames(2, got);
  ASSERT_EQ(got.size(), 27u);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], std::vector<uint8_t>(request.begin(), request.end())) << "the echo";
  const link::ShortFrame ack = link::EncodeAck(2, 1, 5);
  EXPECT_EQ(frames[1], std::vector<uint8_t>(ack.bytes.begin(), ack.bytes.begin() + ack.size));
  EXPECT_TRUE(link::DataFrameValid(2, frames[2].data()));
  EXPECT_EQ(std::vector<uint8_t>(frames[2].begin() + 1, frames[2].begin() + 10),
            std::vector<uint8_t>({1, 5, 0xC1, 0x01, 0xA2, 0xB3, 5, 2, 7}));

  ASSERT_EQ(kill(sim.pid(), SIGTERM), 0);
  const std::optional<int> status = sim.WaitExit();
  ASSERT_TRUE(status) << "zevasim did not stop";
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed";
}

TEST(ZevasimPtyTest, UnplugClosesTheTerminal) {
  Zevasim sim({"--demo", "--unplug-at", "200"});
  const std::optional<std::string> slave = sim.ReadLine();
  ASSERT_TRUE(slave);
  const int fd = OpenRaw(*slave);
  ASSERT_GE(fd, 0);
  pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWait).count())), 1);
  EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
  close(fd);
  kill(sim.pid(), SIGTERM);
  const std::optional<int> status = sim.WaitExit();
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  int status;
};

class ZevasimExitTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ZevasimExitTest, EndsAtOnce) {
  Zevasim sim(GetParam().args);
  const std::optional<int> status = sim.WaitExit();
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Options, ZevasimExitTest,
                         ::testing::Values(ExitCase{"Help", {"--help"}, 0},
                                           ExitCase{"BadDevice", {"--device", "5:S01A2B3:5"}, 2},
                                           ExitCase{"FaultForUnknownDevice", {"--silent", "9"}, 2},
                                           ExitCase{"DeviceOnHostAddress", {"--device", "1:S1:1:1.0"}, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zeva::sim
