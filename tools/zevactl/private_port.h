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

#include <functional>
#include <mutex>
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
  // `badUsage`: zevasim refused its arguments (the bus description).
  bool StartSimulator(const SimOptions& options, std::string* error, bool* badUsage);
  // The COM port number to open.
  static constexpr int kPort = 1;
  // The terminal COM1 of the private prefix stands for ("" before).
  std::string Terminal() const;
  // Stops the simulator and removes the private prefix; for a run ended by
  // a signal, from another thread than the one using the port.
  void Abandon();

 private:
  bool MakePrefix(std::string* error);
  void StopSimulator();
  void Release();

  mutable std::mutex mutex_;
  std::string terminal_;

  std::string prefix_;
  std::string oldPrefix_;
  bool hadOldPrefix_ = false;
  pid_t simPid_ = -1;
  int simOut_ = -1;
};

// Ctrl-C, SIGTERM and SIGHUP. The first Ctrl-C sets g_interrupted, for the
// running command to end cleanly, and prints the note set last; a second
// Ctrl-C, SIGTERM or SIGHUP end the run at once with 128 + the signal, after
// port->Abandon(). Call before any thread is started (they inherit the
// blocked signals).
void HandleSignals(PrivatePort* port);
// What the first Ctrl-C says (empty: nothing).
void SetInterruptNote(const std::string& note);

// Why a terminal path cannot be a port ("" when it can): missing, not a
// terminal (a file, /dev/null), or not to be opened.
std::string TerminalProblem(const std::string& path);

// The terminal COM port `port` stands for: what $ZEVA_PREFIX/dosdevices/comN
// links to, else /dev/ttyS(N-1).
std::string ComPortPath(int port);

// Whether the terminal at `path`, as it is now, has gone since: removed (an
// adapter unplugged, a simulator ended) or another device in its place.
// Empty where that cannot be told.
std::function<bool()> WatchTerminal(const std::string& path);

// zevasim next to zevactl in the build tree or the install, or on PATH;
// $ZEVASIM names it explicitly.
std::string FindZevasim();

}  // namespace zevactl
