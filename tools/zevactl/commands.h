// The zevactl commands: each checks its arguments first (a UsageError,
// nothing sent), then runs against the open port.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/zevactl/session.h"

namespace zevactl {

// Bad input: exit status 2, nothing sent.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Command {
  CLI::App* app = nullptr;
  bool needsPort = true;
  // Said at the first Ctrl-C, which lets the operation end: what happens now.
  std::string interruptNote = "finishing the current operation; press Ctrl-C again to abandon it";
  std::function<void()> validate;
  // Fills `out` (printed as JSON with --json) and prints text otherwise;
  // returns the exit status.
  std::function<int(Session&, Json& out)> run;
};

// The protocol set for this run (the driver has no getter of it).
void NoteProtocolOption(int32_t protocol);

// Defines every command on `app`.
std::vector<Command> DefineCommands(CLI::App& app);

}  // namespace zevactl
