// A COM port for one run of zevactl: a terminal given by path, or a
// simulated bus served by zevasim on a pseudo-terminal, reached through a
// private $ZEVA_PREFIX whose dosdevices/com1 links to it.
//
// The driver resolves COMn through $ZEVA_PREFIX at every open (also when
// Restart, SetAddrID and Program reopen the port), so the private prefix is
// set for the whole run and removed at exit. The settings were read from the
// real prefix when the library loaded; product names (Orlindo.inf) are
// linked through from the real prefix.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zevactl {

struct SimOptions {
  std::string zevasim;    // the executable
  std::string config;     // --config FILE, or empty for the demo bus
  std::vector<std::string> busArgs;  // --bps, --protocol, ... as the driver uses them
};

class PrivatePort {
 public:
  PrivatePort() = default;
  PrivatePort(const PrivatePort&) = delete;
  PrivatePort& operator=(const PrivatePort&) = delete;
  ~PrivatePort();

  // COM1 of the private prefix is `tty`.
  bool MapTerminal(const std::string& tty, std::string* error);
  // Starts zevasim and maps its pseudo-terminal; waits (bounded) for it.
  bool StartSimulator(const SimOptions& options, std::string* error);
  // The COM port number to open.
  static constexpr int kPort = 1;

 private:
  bool MakePrefix(std::string* error);
  void StopSimulator();

  std::string prefix_;
  std::string oldPrefix_;
  bool hadOldPrefix_ = false;
  pid_t simPid_ = -1;
  int simOut_ = -1;
};

// zevasim next to zevactl in the build tree or the install, or on PATH;
// $ZEVASIM names it explicitly.
std::string FindZevasim();

}  // namespace zevactl
