// On Win32 a COM port is given by its number only: a simulated bus or a
// terminal path needs POSIX pseudo-terminals (run zevasim on a POSIX host
// and map its terminal to a COM port instead).
#include "tools/zevactl/private_port.h"

namespace zevactl {
namespace {

bool NotOnWindows(std::string* error) {
  *error = "--port sim and terminal paths need POSIX; on Windows give a COM port number";
  return false;
}

}  // namespace

PrivatePort::~PrivatePort() = default;

bool PrivatePort::MapTerminal(const std::string&, std::string* error) { return NotOnWindows(error); }

bool PrivatePort::StartSimulator(const SimOptions&, std::string* error) { return NotOnWindows(error); }

std::string FindZevasim() { return ""; }

}  // namespace zevactl
