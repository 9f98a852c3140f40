// settings show | set NAME VALUE | save
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/bounded_file.h"
#include "tools/zevactl/args.h"
#include "tools/zevactl/command_util.h"

namespace zevactl {

namespace {

struct Setting {
  const char* name;
  int64_t min, max;
  int32_t(ZEVA_CALL* set)(int32_t);
  int32_t(ZEVA_CALL* get)();  // nullptr: the driver does not report it
  // The value in the settings file, and the range the driver keeps a stored
  // value in: 16-bit settings are narrowed to their low 16 bits first.
  const char* registryName;
  bool narrowed16;
  int64_t storedMin, storedMax;
};

const std::vector<Setting>& Settings() {
  static const std::vector<Setting> all = {
      {"port", 1, 128, SetCOMPort, GetCOMPort, "Port", true, 1, 128},
      {"bps", 1, 4'000'000, SetBps, GetBps, "bps", false, 1, INT32_MAX},
      {"frame-size", 7, 8, SetFrameSize, GetFrameSize, "FrameSize", true, 7, 8},
      {"rx-buffer", 1, 2048, SetRXbuffer, GetRXbuffer, "RXBuffer", true, 1, 2048},
      {"tx-buffer", 1, 2048, SetTXbuffer, GetTXbuffer, "TXBuffer", true, 1, 2048},
      {"local-address", 0, 255, SetLocalAddress, getLocalAddr, "LocalAddress", true, 0, 255},
      {"adapter", 0, 255, SetAdapterID, getAdapterID, "AdapterID", true, INT16_MIN, INT16_MAX},
      {"protocol", 1, 2, SetProtocol, nullptr, "Protocol", false, 1, 2},
      {"packet-timeout", 1, 32767, SetPacketTimeout, getPacketTimeout, "PacketTimeout", true, 1, 32767},
      {"busy-timeout", 1, 32767, SetBusyTimeout, getBusyTimeout, "BusyTimeout", true, 1, 32767},
  };
  return all;
}

std::optional<int32_t> g_protocolOption;

std::string Lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// What the settings file holds: the driver's key's values as written
// ("dword:0000012c", "\"9600\"", ...), by lower-case name.
struct StoredSettings {
  std::string path;
  bool found = false;      // the file exists
  std::string error;       // it could not be read
  bool keyFound = false;   // it has the driver's key
  std::map<std::string, std::string> values;
};

StoredSettings ReadStoredSettings() {
  StoredSettings stored;
  const char* env = std::getenv("ZEVA_PREFIX");
  stored.path = std::string(env != nullptr && env[0] != '\0' ? env : "/etc/zeva232") + "/system.reg";
#ifdef _WIN32
  // The settings live in the registry there.
  return stored;
#endif
  std::error_code ec;
  if (!std::filesystem::exists(stored.path, ec)) return stored;
  stored.found = true;
  const std::optional<std::string> text =
      zeva::tools::ReadBoundedFile(stored.path, zeva::tools::kMaxTextFileBytes, &stored.error);
  if (!text) return stored;
  std::istringstream in(*text);
  bool inKey = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inKey = Lower(line) == Lower("[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]");
      stored.keyFound = stored.keyFound || inKey;
      continue;
    }
    const size_t equals = line.find("\"=");
    if (!inKey || line.size() < 2 || line[0] != '"' || equals == std::string::npos) continue;
    stored.values[Lower(line.substr(1, equals - 1))] = Printable(line.substr(equals + 2).c_str());
  }
  return stored;
}

// The stored value of `setting` as the driver loads it; nullopt when it is
// missing. `problem` says why the driver did not take it as stored.
std::optional<int64_t> StoredValue(const StoredSettings& stored, const Setting& setting, std::string* problem) {
  const auto it = stored.values.find(Lower(setting.registryName));
  if (it == stored.values.end()) return std::nullopt;
  const std::string& text = it->second;
  const std::string prefix = "dword:";
  const auto value = Lower(text).rfind(prefix, 0) == 0 && text.size() == prefix.size() + 8
                         ? ParseNumber("0x" + text.substr(prefix.size()), 0, 0xFFFFFFFFLL)
                         : std::nullopt;
  if (!value) {
    *problem = std::string(setting.registryName) + "=" + text + " is not a dword: the driver uses its default";
    return std::nullopt;
  }
  int64_t loaded = static_cast<int32_t>(static_cast<uint32_t>(*value));
  if (setting.narrowed16) loaded = static_cast<int16_t>(static_cast<uint16_t>(*value & 0xFFFF));
  if (loaded < setting.storedMin || loaded > setting.storedMax) {
    *problem = std::string(setting.registryName) + "=" + text + " is out of range (" +
               std::to_string(setting.storedMin) + ".." + std::to_string(setting.storedMax) +
               "): the driver does not take it as stored";
    return std::nullopt;
  }
  return loaded;
}

// The protocol this run uses and where it comes from.
std::optional<int32_t> ProtocolInUse(const StoredSettings& stored, const Setting& setting, std::string* from) {
  if (g_protocolOption) {
    *from = "--protocol";
    return g_protocolOption;
  }
#ifdef _WIN32
  *from = "not reported by the driver";
  return std::nullopt;
#endif
  if (!stored.error.empty()) {
    *from = stored.error;
    return std::nullopt;
  }
  std::string problem;
  if (const std::optional<int64_t> value = StoredValue(stored, setting, &problem)) {
    *from = "saved in " + stored.path;
    return static_cast<int32_t>(*value);
  }
  *from = "the default";
  return 2;
}

// What in the settings file the driver did not take as it stands.
std::vector<std::string> StoredProblems(const StoredSettings& stored) {
  std::vector<std::string> problems;
  if (!stored.found) return problems;
  if (!stored.error.empty()) return {stored.error};
  if (!stored.keyFound) {
    return {"it holds no [HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo] key: the driver uses the defaults"};
  }
  for (const Setting& setting : Settings()) {
    std::string problem;
    (void)StoredValue(stored, setting, &problem);
    if (!problem.empty()) problems.push_back(problem);
  }
  return problems;
}

const Setting* FindSetting(const std::string& name) {
  for (const Setting& s : Settings()) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

int Show(Session& s, Json& out) {
  const StoredSettings stored = ReadStoredSettings();
  Json settings = Json::object();
  for (const Setting& setting : Settings()) {
    if (setting.get == nullptr) {
      // Only the protocol has no getter: this run's option, else the saved
      // value the driver read at start.
      std::string from;
      const std::optional<int32_t> value = ProtocolInUse(stored, setting, &from);
      settings[setting.name] = value ? Json(*value) : Json(nullptr);
      char line[160];
      if (value) {
        std::snprintf(line, sizeof line, "%-16s%d  (%s)", setting.name, *value, from.c_str());
      } else {
        std::snprintf(line, sizeof line, "%-16s(%s)", setting.name, from.c_str());
      }
      Print(s, line);
      continue;
    }
    const int32_t value = setting.get();
    settings[setting.name] = value;
    char line[64];
    std::snprintf(line, sizeof line, "%-16s%d", setting.name, value);
    Print(s, line);
  }
  // Values the driver did not take as stored: said, never changed.
  const std::vector<std::string> problems = StoredProblems(stored);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "warning: %s: %s\n", stored.path.c_str(), problem.c_str());
  }
  if (!problems.empty()) out["settingsFile"] = {{"path", stored.path}, {"problems", problems}};
  const Json switches = {{"spy", getSpy()}, {"auto-echo", getAutoEcho()}, {"no-ack", getNoAck()},
                         {"echo-check", GetEchoCheck()}};
  for (const auto& [name, value] : switches.items()) {
    char line[64];
    std::snprintf(line, sizeof line, "%-16s%d  (switch, not saved)", name.c_str(), value.get<int>());
    Print(s, line);
  }
  out["settings"] = settings;
  out["switches"] = switches;
  return 0;
}

// SaveSettings reports every refused value in a box of its own; say it once.
int Save(Session& s, Json& out) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "error: saving the settings needs root (effective uid 0); nothing was written\n");
    out["saved"] = false;
    return 1;
  }
  SaveSettings();
  s.Drain();
  out["saved"] = s.boxes.empty();
  if (!s.boxes.empty()) return 1;
  s.Note("settings saved");
  return 0;
}

}  // namespace

void NoteProtocolOption(int32_t protocol) { g_protocolOption = protocol; }

Command SettingsCommand(CLI::App& app) {
  auto name = std::make_shared<std::string>();
  auto value = std::make_shared<std::string>();
  Command c;
  c.needsPort = false;
  c.app = app.add_subcommand("settings", "show the link settings and switches, set one and save it, or save them");
  CLI::App* show = c.app->add_subcommand("show", "print the ten settings and the switches (the default)");
  CLI::App* set = c.app->add_subcommand("set", "set one setting and save the settings (needs root)");
  set->add_option("NAME", *name,
                  "port, bps, frame-size, rx-buffer, tx-buffer, local-address, adapter, protocol, packet-timeout, "
                  "busy-timeout")
      ->required();
  set->add_option("VALUE", *value, "the new value")->required();
  CLI::App* save = c.app->add_subcommand("save", "save the settings, with this run's global options (needs root)");
  c.app->require_subcommand(0, 1);
  (void)show;
  c.validate = [=] {
    if (set->parsed()) {
      const Setting* setting = FindSetting(*name);
      if (setting == nullptr) throw UsageError("unknown setting \"" + *name + "\"");
      Number(*value, setting->min, setting->max, *name);
    }
  };
  c.run = [=](Session& s, Json& out) {
    if (set->parsed()) {
      const Setting* setting = FindSetting(*name);
      setting->set(Number(*value, setting->min, setting->max, *name));
      return Save(s, out);
    }
    if (save->parsed()) return Save(s, out);
    return Show(s, out);
  };
  return c;
}

}  // namespace zevactl
