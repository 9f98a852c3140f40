// On Win32 a COM port is given by its number only: a simulated bus or a
// terminal path needs POSIX pseudo-terminals (run zevasim on a POSIX host
// and map its terminal to a COM port instead).
#include "tools/zevactl/private_port.h"

#include <unistd.h>

#include <csignal>

#include "tools/zevactl/session.h"

namespace zevactl {
namespace {

bool NotOnWindows(std::string* error) {
  *error = "--port sim and terminal paths need POSIX; on Windows give a COM port number";
  return false;
}

extern "C" void OnInterrupt(int) {
  // A second Ctrl-C ends at once; the first lets the operation end cleanly.
  if (g_interrupted.exchange(true)) _exit(130);
  std::signal(SIGINT, OnInterrupt);
}

}  // namespace

PrivatePort::~PrivatePort() = default;

bool PrivatePort::MapTerminal(const std::string&, std::string* error) { return NotOnWindows(error); }

bool PrivatePort::StartSimulator(const SimOptions&, std::string* error, bool* badUsage) {
  *badUsage = false;
  return NotOnWindows(error);
}

std::string PrivatePort::Terminal() const { return ""; }

void PrivatePort::Abandon() {}

// Nothing private to remove on Windows: Ctrl-C only.
void HandleSignals(PrivatePort*) { std::signal(SIGINT, OnInterrupt); }

void SetInterruptNote(const std::string&) {}

std::string TerminalProblem(const std::string&) { return ""; }

std::string ComPortPath(int port) { return "COM" + std::to_string(port); }

std::function<bool()> WatchTerminal(const std::string&) { return {}; }

std::string FindZevasim() { return ""; }

}  // namespace zevactl
