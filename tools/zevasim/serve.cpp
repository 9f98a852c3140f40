#include "tools/zevasim/serve.h"

#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace zeva::zevasim {

namespace {

class Clock {
 public:
  uint64_t NowUs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count());
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The terminal's output queue is the host's receive buffer: what does not
// fit is lost, as in an overrun.
void WriteToHost(int fd, const std::vector<uint8_t>& bytes, bool* warned) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (!*warned) std::fprintf(stderr, "zevasim: host is not reading; bytes for it are lost\n");
      *warned = true;
      return;
    }
  }
}

timespec Timeout(uint64_t us) {
  return {static_cast<time_t>(us / 1'000'000), static_cast<long>((us % 1'000'000) * 1000)};
}

// Reads what the host wrote. False when the terminal is gone.
bool ReadFromHost(sim::Bus& bus, HostPort& port, const Clock& clock) {
  uint8_t buffer[4096];
  const ssize_t n = read(port.fd, buffer, sizeof buffer);
  if (n > 0) {
    bus.HostWrite(buffer, static_cast<size_t>(n), clock.NowUs());
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  std::fprintf(stderr, "zevasim: %s: %s\n", port.path.c_str(), n == 0 ? "hung up" : std::strerror(errno));
  return false;
}

}  // namespace

int Serve(sim::Bus& bus, HostPort& port, int stopFd) {
#ifdef __linux__
  // Paced bytes are due at exact moments; the kernel's default timer slack
  // would let every wake-up come up to 50 us late.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  const Clock clock;
  bool warned = false;
  for (;;) {
    std::vector<uint8_t> toHost;
    bool lineError = false;
    bool hungUp = false;
    bus.AdvanceTo(clock.NowUs(), &toHost, &lineError, &hungUp);
    if (port.fd >= 0 && !toHost.empty()) WriteToHost(port.fd, toHost, &warned);
    if (hungUp && port.fd >= 0) port.Close();

    const std::optional<uint64_t> next = bus.NextEventUs();
    const uint64_t now = clock.NowUs();
    timespec timeout = Timeout(next && *next > now ? *next - now : 0);
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {port.fd, POLLIN, 0}};
    const nfds_t count = port.fd >= 0 ? 2 : 1;
    if (ppoll(fds, count, next ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
      std::perror("zevasim: ppoll");
      return 1;
    }
    if (fds[0].revents != 0) return 0;
    if (count == 2 && fds[1].revents != 0 && !ReadFromHost(bus, port, clock)) return 1;
  }
}

}  // namespace zeva::zevasim
