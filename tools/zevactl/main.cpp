// zevactl: install, address, program and diagnose ZEVA devices from the
// command line, through libzeva232's public interface only.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include <CLI/CLI.hpp>

#include "tools/common/bounded_file.h"
#include "tools/zevactl/args.h"
#include "tools/zevactl/commands.h"
#include "tools/zevactl/private_port.h"
#include "tools/zevactl/session.h"
#include "zeva232.h"

namespace {

using namespace zevactl;

const char* const kDescription =
    "zevactl: map, identify, address, program and diagnose ZEVA devices on the bus behind a serial port.\n"
    "Global options change the stored link settings for this run only (see 'settings save').\n"
    "--port sim runs a simulated demo bus, so every command can be tried without hardware.\n";

const char* const kFooter = R"(
Exit status: 0 success, 1 the operation failed, 2 bad usage (nothing was sent).
With --json standard output carries only JSON (monitor: one object per line).)";

struct Globals {
  std::string port;
  std::string simConfig;
  std::optional<int32_t> bps, protocol, localAddress, packetTimeout, busyTimeout, adapter;
  bool portGiven = false;
  bool noEchoCheck = false;
  bool json = false;
  bool quiet = false;

  void Define(CLI::App& app) {
    app.add_option("--port", port, "COM port number, a terminal path, or 'sim' for the simulated bus")
        ->type_name("N|PATH|sim");
    app.add_option("--sim-config", simConfig, "with --port sim: the bus description (zevasim --config format)")
        ->type_name("FILE");
    app.add_option("--bps", bps, "bit rate")->check(CLI::Range(1, 4'000'000));
    app.add_option("--protocol", protocol, "checksum variant, 1 or 2")->check(CLI::Range(1, 2));
    app.add_option("--local-address", localAddress, "this station's bus address")->check(CLI::Range(0, 255));
    app.add_option("--packet-timeout", packetTimeout, "base of the driver's waits, ms")->check(CLI::Range(1, 32767));
    app.add_option("--busy-timeout", busyTimeout, "pause after a busy channel, ms")->check(CLI::Range(1, 32767));
    app.add_option("--adapter", adapter, "adapter kind: 0 plain RS-485 (driver acknowledges), else acknowledging")
        ->check(CLI::Range(0, 255));
    app.add_flag("--no-echo-check", noEchoCheck, "do not check the adapter's echo of written bytes");
    app.add_flag("--json", json, "machine-readable output: nothing but JSON on standard output");
    app.add_flag("--quiet", quiet, "no progress and no notes, only results and errors");
  }

  bool IsSim() const { return port == "sim"; }
  bool IsPath() const { return port.find('/') != std::string::npos; }

  void Validate() const {
    if (portGiven && port.empty()) throw UsageError("--port '' names no port: give 1..128, a terminal path, or sim");
    if (!port.empty() && !IsSim() && !IsPath() && !ParseNumber(port, 1, 128)) {
      throw UsageError("bad --port \"" + port + "\": expected 1..128, a terminal path, or sim");
    }
    if (!simConfig.empty() && !IsSim()) throw UsageError("--sim-config needs --port sim");
  }

  // Overrides of the stored settings, for this run.
  void Apply() const {
    if (bps) SetBps(*bps);
    if (protocol) {
      SetProtocol(*protocol);
      NoteProtocolOption(*protocol);
    }
    if (localAddress) SetLocalAddress(*localAddress);
    if (packetTimeout) SetPacketTimeout(*packetTimeout);
    if (busyTimeout) SetBusyTimeout(*busyTimeout);
    if (adapter) SetAdapterID(*adapter);
    if (noEchoCheck) SetEchoCheck(0);
    if (!port.empty() && !IsSim() && !IsPath()) SetCOMPort(static_cast<int32_t>(*ParseNumber(port, 1, 128)));
  }
};

// The simulated bus and the driver must agree on the line: the options win,
// then the bus description, then the stored settings (protocol: 2).
SimOptions SimulatorFor(const Globals& g) {
  Json file = Json::object();
  if (!g.simConfig.empty()) {
    std::string error;
    const std::optional<std::string> text =
        zeva::tools::ReadBoundedFile(g.simConfig, zeva::tools::kMaxTextFileBytes, &error);
    if (!text) throw UsageError(error);
    try {
      file = Json::parse(*text);
    } catch (const std::exception& e) {
      // "[json.exception.parse_error.101] parse error at line 1, column 14: ..."
      std::string what = e.what();
      if (what.rfind("[json.", 0) == 0 && what.find("] ") != std::string::npos) what.erase(0, what.find("] ") + 2);
      throw UsageError(g.simConfig + ": " + what);
    }
    if (!file.is_object()) throw UsageError(g.simConfig + ": expected a JSON object");
  }
  auto pick = [&](const std::optional<int32_t>& option, const char* key, int32_t fallback) {
    if (option) return *option;
    if (file.contains(key) && file[key].is_number_integer()) return file[key].get<int32_t>();
    return fallback;
  };
  const int32_t bps = pick(g.bps, "bps", GetBps());
  const int32_t protocol = pick(g.protocol, "protocol", 2);
  const int32_t local = pick(g.localAddress, "localAddress", getLocalAddr());
  SetBps(bps);
  SetProtocol(protocol);
  SetLocalAddress(local);
  SimOptions sim;
  sim.config = g.simConfig;
  sim.busArgs = {"--bps", std::to_string(bps), "--protocol", std::to_string(protocol), "--local-address",
                 std::to_string(local), "--byte-size", std::to_string(GetFrameSize())};
  if (getAdapterID() != 0) sim.busArgs.push_back("--adapter-acks");
  return sim;
}

bool OpenPort(const Globals& g, Session& session, PrivatePort& port) {
  std::string error;
  bool mapped = true;
  if (g.IsSim()) {
    SimOptions sim = SimulatorFor(g);
    sim.zevasim = FindZevasim();
    bool badUsage = false;
    mapped = port.StartSimulator(sim, &error, &badUsage);
    if (badUsage) throw UsageError(error);
  } else if (g.IsPath()) {
    mapped = port.MapTerminal(g.port, &error);
  }
  if (!mapped) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return false;
  }
  if (g.IsSim() || g.IsPath()) SetCOMPort(PrivatePort::kPort);
  const std::string terminal = g.IsSim() || g.IsPath() ? port.Terminal() : ComPortPath(GetCOMPort());
  session.portName = "COM" + std::to_string(GetCOMPort()) + " (" + (g.IsSim() ? "the simulated bus" : terminal) + ")";
  if (!OpenCOM(session.window())) {
    session.Drain();
    const std::string problem = TerminalProblem(terminal);
    std::fprintf(stderr, "error: cannot open %s%s\n", session.portName.c_str(),
                 problem.empty() ? "" : (": " + problem).c_str());
    return false;
  }
  session.portGone = WatchTerminal(terminal);
  return true;
}

int Run(Globals& g, Command& command) {
  OutputMode mode{g.json, g.quiet, isatty(STDERR_FILENO) != 0};
  PrivatePort port;  // outlives the session, which closes the port
  HandleSignals(&port);
  SetInterruptNote(command.interruptNote);
  Session session(mode);
  Json out = {{"command", command.app->get_name()}};
  int status = 1;
  if (!command.needsPort || OpenPort(g, session, port)) status = command.run(session, out);
  session.Drain();
  session.EndProgress();
  // Nothing done on a port that went away counts as done.
  if (session.PortLost()) status = 1;
  if (g.json) {
    out["ok"] = status == 0;
    out["errors"] = session.ErrorsJson();
    std::printf("%s\n", out.dump().c_str());  // one line: monitor output stays JSON Lines
  }
  return status;
}

// Edits (insert, delete, replace) from a to b.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "; did you mean X?" for the nearest of `names`, when it is near enough.
std::string Suggestion(const std::string& word, const std::vector<std::string>& names) {
  std::string best;
  size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
  for (const std::string& name : names) {
    const size_t d = Distance(word, name);
    if (d < bestDistance) {
      best = name;
      bestDistance = d;
    }
  }
  return best.empty() ? "" : "; did you mean " + best + "?";
}

// The options of `app` by their spellings ("--port", "-h"), and whether
// each takes values.
void CollectOptions(const CLI::App& app, std::map<std::string, const CLI::Option*>* options) {
  for (const CLI::Option* opt : app.get_options()) {
    for (const std::string& n : opt->get_lnames()) (*options)["--" + n] = opt;
    for (const std::string& n : opt->get_snames()) (*options)["-" + n] = opt;
  }
}

// What CLI11 reports as "A subcommand is required" or "not expected" for a
// mistyped command or option, said plainly; empty when the arguments hold
// no unknown word.
std::string UnknownWord(CLI::App& app, int argc, char** argv) {
  std::map<std::string, const CLI::Option*> options;
  CollectOptions(app, &options);
  std::vector<std::string> commandNames;
  std::map<std::string, CLI::App*> commands;
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    commands[sub->get_name()] = sub;
    commandNames.push_back(sub->get_name());
  }
  CLI::App* command = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() > 1 && arg[0] == '-' && !(arg.size() > 1 && std::isdigit(static_cast<unsigned char>(arg[1])))) {
      const std::string name = arg.substr(0, arg.find('='));
      const auto known = options.find(name);
      if (known == options.end()) {
        std::vector<std::string> names;
        for (const auto& [spelling, opt] : options) {
          if (spelling.rfind("--", 0) == 0) names.push_back(spelling);
        }
        return "unknown option " + name + Suggestion(name, names);
      }
      // Its values follow, unless given with '='.
      if (name == arg && known->second->get_type_size() != 0) {
        const int most = known->second->get_expected_max();
        for (int taken = 0; taken < most && i + 1 < argc && argv[i + 1][0] != '-'; ++taken) ++i;
      }
      continue;
    }
    if (command == nullptr) {
      const auto found = commands.find(arg);
      if (found == commands.end()) return "unknown command \"" + arg + "\"" + Suggestion(arg, commandNames);
      command = found->second;
      CollectOptions(*command, &options);
      for (CLI::App* sub : command->get_subcommands([](CLI::App*) { return true; })) CollectOptions(*sub, &options);
    }
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "zevactl");
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the command too
  Globals globals;
  globals.Define(app);
  std::vector<Command> commands = DefineCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != 0) {
      if (const std::string word = UnknownWord(app, argc, argv); !word.empty()) {
        std::fprintf(stderr, "zevactl: %s (zevactl --help lists them)\n", word.c_str());
        return 2;
      }
    }
    return app.exit(e) == 0 ? 0 : 2;
  }
  globals.portGiven = app.count("--port") > 0;
  Command* chosen = nullptr;
  for (Command& c : commands) {
    if (c.app->parsed()) chosen = &c;
  }
  if (chosen == nullptr) return 2;
  try {
    globals.Validate();
    if (chosen->app->get_name() == "settings" && (globals.IsSim() || globals.IsPath())) {
      throw UsageError("--port sim or a path holds for one run only; settings cannot use it");
    }
    globals.Apply();  // setters only: the checks below see this run's settings
    if (chosen->validate) chosen->validate();
    return Run(globals, *chosen);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "zevactl: %s\n", e.what());
    return 2;
  }
}
