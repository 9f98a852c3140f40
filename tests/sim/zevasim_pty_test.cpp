// zevasim on a pseudo-terminal, in real time: the built tool is started,
// talked to through its terminal and stopped by its pid. Every wait is
// bounded.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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

extern char** environ;

namespace zeva::sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(5);

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// One zevasim process, killed by its pid if a test leaves it running.
class Zevasim {
 public:
  explicit Zevasim(const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> all = {ZEVASIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, ZEVASIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
  }

  ~Zevasim() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  pid_t pid() const { return pid_; }

  // The first line of output, without its newline.
  std::optional<std::string> ReadLine() {
    std::string line;
    const auto deadline = Clock::now() + kWait;
    while (Clock::now() < deadline) {
      pollfd p = {stdout_, POLLIN, 0};
      if (poll(&p, 1, RemainingMs(deadline)) <= 0) break;
      char c;
      if (read(stdout_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return std::nullopt;
  }

  // The exit status, or nullopt when the process is still running after the wait.
  std::optional<int> WaitExit() {
    const auto deadline = Clock::now() + kWait;
    while (!status_ && Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
      } else {
        usleep(10'000);
      }
    }
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  std::optional<int> status_;
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
