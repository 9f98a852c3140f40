// One zevasim process for a real-time test. Only the process started here is
// ever signalled, by its pid, and every wait for it is bounded.
//
// Two ways to start it:
//  - on a link (the usual case): `--link LINK` and `args`; the constructor
//    waits for the terminal's path, the first line zevasim prints, and
//    ready() tells whether it came;
//  - with `args` exactly as given (option tests): nothing is awaited, and
//    ReadLine() reads what zevasim prints.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" char** environ;

namespace zeva::test {

class ZevasimProcess {
 public:
  static constexpr std::chrono::milliseconds kWait{5000};

  // zevasim serving a new pseudo-terminal that `link` points to. With
  // `captureTrace`, --trace is added and its standard error is kept for
  // Output().
  ZevasimProcess(const std::string& path, const std::string& link, std::vector<std::string> args,
                 bool captureTrace = false) {
    args.insert(args.begin(), {"--link", link});
    Start(path, std::move(args), captureTrace);
    if (pid_ > 0) tty_ = ReadLine().value_or("");
    // The terminal's path is all a test reads from standard output.
    CloseStdout();
  }

  // zevasim with `args` as they are; standard output stays readable.
  ZevasimProcess(const std::string& path, std::vector<std::string> args) { Start(path, std::move(args), false); }

  ~ZevasimProcess() {
    Stop();
    CloseStdout();
    if (err_ >= 0) close(err_);
  }
  ZevasimProcess(const ZevasimProcess&) = delete;
  ZevasimProcess& operator=(const ZevasimProcess&) = delete;

  pid_t pid() const { return pid_; }
  // On a link: the terminal zevasim serves, and whether it came up.
  const std::string& tty() const { return tty_; }
  bool ready() const { return pid_ > 0 && !tty_.empty(); }

  // Ends the process with `signal` (SIGKILL after 3 s). Its end of the line
  // goes away with it. Nothing happens when it has already been waited for.
  void Stop(int signal = SIGTERM) {
    if (pid_ <= 0 || status_) return;
    kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    status_ = status;
  }

  // The exit status, or nullopt when the process still runs after kWait.
  std::optional<int> WaitExit() {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (pid_ > 0 && !status_ && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    return status_;
  }

  // The next line of standard output without its newline; nullopt when none
  // came within kWait.
  std::optional<std::string> ReadLine() {
    if (out_ < 0) return std::nullopt;
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char c;
      if (read(out_, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
  }

  // What zevasim wrote to standard error so far (its trace).
  const std::string& Output() {
    char buffer[4096];
    for (;;) {
      const ssize_t n = err_ >= 0 ? read(err_, buffer, sizeof buffer) : -1;
      if (n <= 0) break;
      output_.append(buffer, static_cast<size_t>(n));
    }
    return output_;
  }

 private:
  // The pipes are close-on-exec, so that no other child started meanwhile
  // (another test's zevasim) holds their ends open.
  void Start(const std::string& path, std::vector<std::string> args, bool captureTrace) {
    int out[2];
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (captureTrace && pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (captureTrace) {
      posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
      args.push_back("--trace");
    }
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (captureTrace) {
      close(err[1]);
      err_ = err[0];
      fcntl(err_, F_SETFL, O_NONBLOCK);
    }
  }

  void CloseStdout() {
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::optional<int> status_;
  std::string tty_;
  std::string output_;
};

}  // namespace zeva::test
