// zevasim on a pseudo-terminal, reached as COM`port` of a temporary prefix.
// Only the process started here is ever signalled, by its pid, and every
// wait for it is bounded.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zeva::transact_test {

class ZevasimProcess {
 public:
  // `args` are zevasim's options besides --link. With `captureTrace`, --trace
  // is added and its standard error is kept for Output().
  ZevasimProcess(const std::string& path, const std::string& link, std::vector<std::string> args,
                 bool captureTrace = false) {
    int out[2];
    int err[2] = {-1, -1};
    if (pipe(out) != 0) return;
    if (captureTrace && pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (captureTrace) {
      posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
      args.push_back("--trace");
    }
    args.insert(args.begin(), {path, "--link", link});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (captureTrace) {
      close(err[1]);
      err_ = err[0];
      fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    if (pid_ > 0) tty_ = FirstLine(out[0], std::chrono::milliseconds(5000));
    close(out[0]);
  }
  ~ZevasimProcess() {
    Stop();
    if (err_ >= 0) close(err_);
  }
  ZevasimProcess(const ZevasimProcess&) = delete;
  ZevasimProcess& operator=(const ZevasimProcess&) = delete;

  bool ready() const { return pid_ > 0 && !tty_.empty(); }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
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
  static std::string FirstLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (line.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char c;
      if (read(fd, &c, 1) != 1) return {};
      line += c;
    }
    line.pop_back();
    return line;
  }

  pid_t pid_ = -1;
  int err_ = -1;
  std::string tty_;
  std::string output_;
};

}  // namespace zeva::transact_test
