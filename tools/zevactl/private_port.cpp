#include "tools/zevactl/private_port.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tools/zevactl/session.h"

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

namespace {

// The port a signal ends the run of; held while it is released, so that a
// signal then waits for the release instead of leaving half of it.
// Never destroyed: the signal thread may take it while the process exits.
std::mutex& PortMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
PrivatePort* g_port = nullptr;

}  // namespace

PrivatePort::~PrivatePort() {
  const std::lock_guard<std::mutex> lock(PortMutex());
  if (g_port == this) g_port = nullptr;
  Release();
}

void PrivatePort::Release() {
  const std::lock_guard<std::mutex> lock(mutex_);
  StopSimulator();
  if (!prefix_.empty()) {
    std::error_code ignored;
    fs::remove_all(prefix_, ignored);
    prefix_.clear();
    if (hadOldPrefix_) {
      setenv("ZEVA_PREFIX", oldPrefix_.c_str(), 1);
    } else {
      unsetenv("ZEVA_PREFIX");
    }
  }
}

void PrivatePort::Abandon() { Release(); }

std::string PrivatePort::Terminal() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return terminal_;
}

std::string TerminalProblem(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? "no such terminal: " + path : path + ": " + std::strerror(errno);
  }
  if (!S_ISCHR(st.st_mode)) return path + " is not a terminal";
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  const bool terminal = isatty(fd) != 0;
  close(fd);
  return terminal ? "" : path + " is not a terminal";
}

std::string ComPortPath(int port) {
  const std::string link = RealPrefix() + "/dosdevices/com" + std::to_string(port);
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) return link;
  return "/dev/ttyS" + std::to_string(port - 1);
}

std::function<bool()> WatchTerminal(const std::string& path) {
  struct stat first {};
  if (path.empty() || stat(path.c_str(), &first) != 0) return {};
  return [path, device = first.st_rdev] {
    struct stat now {};
    return stat(path.c_str(), &now) != 0 || now.st_rdev != device;
  };
}

namespace {

// The signal thread runs until the process ends, also while the static
// objects are destroyed at exit: what it reads is never destroyed.
std::mutex& NoteMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::string& InterruptNote() {
  static auto* note = new std::string;
  return *note;
}

void SignalLoop(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGINT && !g_interrupted.exchange(true)) {
      std::string note;
      {
        const std::lock_guard<std::mutex> lock(NoteMutex());
        note = InterruptNote();
      }
      if (!note.empty()) std::fprintf(stderr, "\n%s\n", note.c_str());
      continue;
    }
    const std::lock_guard<std::mutex> lock(PortMutex());
    if (g_port != nullptr) g_port->Abandon();
    std::fprintf(stderr, "\nzevactl: stopped by %s\n", sig == SIGINT ? "a second Ctrl-C" : strsignal(sig));
    std::fflush(stderr);
    _exit(128 + sig);
  }
}

}  // namespace

void HandleSignals(PrivatePort* port) {
  {
    const std::lock_guard<std::mutex> lock(PortMutex());
    g_port = port;
  }
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalLoop, set).detach();
}

void SetInterruptNote(const std::string& note) {
  const std::lock_guard<std::mutex> lock(NoteMutex());
  InterruptNote() = note;
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
  if (std::string problem = TerminalProblem(tty); !problem.empty()) {
    *error = problem;
    return false;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!MakePrefix(error)) return false;
  terminal_ = fs::absolute(tty).string();
  std::error_code ec;
  fs::create_symlink(terminal_, prefix_ + "/dosdevices/com1", ec);
  if (ec) {
    *error = "cannot link " + tty + ": " + ec.message();
    return false;
  }
  return true;
}

bool PrivatePort::StartSimulator(const SimOptions& options, std::string* error, bool* badUsage) {
  *badUsage = false;
  if (options.zevasim.empty()) {
    *error = "zevasim not found (set ZEVASIM to its path)";
    return false;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
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
    // zevactl blocks its signals for its signal thread; zevasim takes them.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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
    // zevasim has said why on standard error; a bus description it refused
    // is bad input, like any other file given on the command line.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    pid_t done = 0;
    while ((done = waitpid(simPid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == simPid_) {
      simPid_ = -1;
      *badUsage = WIFEXITED(status) && WEXITSTATUS(status) == 2;
    }
    *error = *badUsage ? "zevasim refused the bus description" : "zevasim did not start";
    return false;
  }
  terminal_ = tty;
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
