#include "tools/zevactl/private_port.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace zevactl {

namespace {

namespace fs = std::filesystem;

constexpr int kStartTimeoutMs = 5000;
constexpr int kStopTimeoutMs = 2000;

std::string RealPrefix() {
  const char* env = std::getenv("ZEVA_PREFIX");
  return env != nullptr && env[0] != '\0' ? env : "/etc/zeva232";
}

// The first line zevasim prints is its terminal.
bool ReadFirstLine(int fd, std::string* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  char c = 0;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    *line += c;
  }
}

}  // namespace

PrivatePort::~PrivatePort() {
  StopSimulator();
  if (!prefix_.empty()) {
    std::error_code ignored;
    fs::remove_all(prefix_, ignored);
    if (hadOldPrefix_) {
      setenv("ZEVA_PREFIX", oldPrefix_.c_str(), 1);
    } else {
      unsetenv("ZEVA_PREFIX");
    }
  }
}

bool PrivatePort::MakePrefix(std::string* error) {
  const std::string real = RealPrefix();
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zevactl.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot create a private directory: " + std::string(std::strerror(errno));
    return false;
  }
  prefix_ = pattern;
  std::error_code ec;
  fs::create_directory(prefix_ + "/dosdevices", ec);
  if (fs::exists(real + "/Orlindo.inf")) fs::create_symlink(fs::absolute(real + "/Orlindo.inf"), prefix_ + "/Orlindo.inf", ec);
  const char* old = std::getenv("ZEVA_PREFIX");
  hadOldPrefix_ = old != nullptr;
  if (old != nullptr) oldPrefix_ = old;
  setenv("ZEVA_PREFIX", prefix_.c_str(), 1);
  return true;
}

bool PrivatePort::MapTerminal(const std::string& tty, std::string* error) {
  if (access(tty.c_str(), F_OK) != 0) {
    *error = "no such terminal: " + tty;
    return false;
  }
  if (!MakePrefix(error)) return false;
  std::error_code ec;
  fs::create_symlink(fs::absolute(tty), prefix_ + "/dosdevices/com1", ec);
  if (ec) {
    *error = "cannot link " + tty + ": " + ec.message();
    return false;
  }
  return true;
}

bool PrivatePort::StartSimulator(const SimOptions& options, std::string* error) {
  if (options.zevasim.empty()) {
    *error = "zevasim not found (set ZEVASIM to its path)";
    return false;
  }
  if (!MakePrefix(error)) return false;
  std::vector<std::string> args = {options.zevasim, "--link", prefix_ + "/dosdevices/com1"};
  if (options.config.empty()) {
    args.push_back("--demo");
  } else {
    args.insert(args.end(), {"--config", options.config});
  }
  args.insert(args.end(), options.busArgs.begin(), options.busArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = "pipe: " + std::string(std::strerror(errno));
    return false;
  }
  simPid_ = fork();
  if (simPid_ == 0) {
    // The simulator must not take zevactl's Ctrl-C (zevactl stops it), and
    // must not outlive zevactl when that is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    setpgid(0, 0);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const int forkErrno = errno;
  close(out[1]);
  simOut_ = out[0];
  if (simPid_ < 0) {
    *error = "cannot start " + options.zevasim + ": " + std::strerror(forkErrno);
    return false;
  }
  std::string tty;
  if (!ReadFirstLine(simOut_, &tty) || tty.empty()) {
    *error = "zevasim did not start";
    return false;
  }
  return true;
}

void PrivatePort::StopSimulator() {
  if (simPid_ > 0) {
    kill(simPid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    while (waitpid(simPid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(simPid_, SIGKILL);
        waitpid(simPid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    simPid_ = -1;
  }
  if (simOut_ >= 0) close(simOut_);
  simOut_ = -1;
}

std::string FindZevasim() {
  if (const char* env = std::getenv("ZEVASIM"); env != nullptr && env[0] != '\0') return env;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    for (const fs::path& candidate : {self.parent_path() / "zevasim", self.parent_path().parent_path() / "zevasim" / "zevasim"}) {
      if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
  }
  if (const char* path = std::getenv("PATH")) {
    std::string dirs = path;
    size_t start = 0;
    while (start <= dirs.size()) {
      const size_t end = dirs.find(':', start);
      const std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
      const std::string candidate = (dir.empty() ? "." : dir) + "/zevasim";
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return {};
}

}  // namespace zevactl
