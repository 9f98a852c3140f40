// zevasim: a simulated ZEVA bus on a pseudo-terminal (see --help).
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "sim/setup.h"
#include "sim/trace.h"
#include "tools/zevasim/host_port.h"
#include "tools/zevasim/options.h"
#include "tools/zevasim/serve.h"

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  const ssize_t ignored = write(stopPipe[1], &byte, 1);
  (void)ignored;
}

bool InstallStopSignals() {
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (sigaction(sig, &action, nullptr) != 0) return false;
  }
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace zeva;
  zevasim::Options options;
  if (const std::optional<int> exitCode = zevasim::ParseOptions(argc, argv, &options)) return *exitCode;

  std::string error;
  std::unique_ptr<sim::Bus> bus = sim::BuildBus(options.setup, &error);
  if (!bus) {
    std::fprintf(stderr, "zevasim: %s\n", error.c_str());
    return 2;
  }
  if (options.trace) {
    bus->onTrace = [](const sim::TraceEntry& entry) { std::fprintf(stderr, "%s\n", sim::FormatTrace(entry).c_str()); };
  }
  if (!InstallStopSignals()) {
    std::perror("zevasim: signals");
    return 1;
  }

  zevasim::HostPort port;
  const bool opened = options.tty.empty()
                          ? zevasim::OpenPseudoTerminal(options.bps, options.byteSize, &port, &error)
                          : zevasim::OpenTerminal(options.tty, options.bps, options.byteSize, &port, &error);
  if (!opened) {
    std::fprintf(stderr, "zevasim: %s\n", error.c_str());
    return 1;
  }
  const std::string path = port.path;
  std::string replaced;
  if (!options.link.empty() && !zevasim::CreateLink(options.link, path, &error, &replaced)) {
    std::fprintf(stderr, "zevasim: %s\n", error.c_str());
    return 1;
  }
  // The first line of output is the terminal: scripts and tests wait for it.
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);
  if (bus->device_count() == 0) std::fprintf(stderr, "zevasim: no devices on the bus (see --device, --demo)\n");

  platform::SerialConfig line;
  line.bps = options.bps;
  line.byteSize = options.byteSize;
  bus->HostOpened(line);
  const int status = zevasim::Serve(*bus, port, stopPipe[0]);

  port.Close();
  if (!options.link.empty()) zevasim::RemoveLink(options.link, path, replaced);
  return status;
}
