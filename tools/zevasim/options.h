// zevasim's command line.
#pragma once

#include <optional>
#include <string>

#include "sim/setup.h"

namespace zeva::zevasim {

struct Options {
  sim::SimSetup setup;
  std::string tty;   // a terminal to serve instead of a new pseudo-terminal
  std::string link;  // a symbolic link to the terminal, removed at exit
  bool trace = false;
  int32_t bps = 19200;
  uint8_t byteSize = 8;
};

// Parses the command line (and the --config file it names). Returns the
// exit code when the program is to end at once (--help, a bad option),
// nullopt when it is to run.
std::optional<int> ParseOptions(int argc, char** argv, Options* options);

}  // namespace zeva::zevasim
