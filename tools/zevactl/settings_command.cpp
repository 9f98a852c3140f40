// settings show | set NAME VALUE | save
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

#include "tools/common/bounded_file.h"
#include "tools/zevactl/args.h"
#include "tools/zevactl/command_util.h"

namespace zevactl {

namespace {

struct Setting {
  const char* name;
  int64_t min, max;
  int32_t (*set)(int32_t);
  int32_t (*get)();  // nullptr: the driver does not report it
};

const std::vector<Setting>& Settings() {
  static const std::vector<Setting> all = {
      {"port", 1, 128, SetCOMPort, GetCOMPort},
      {"bps", 1, 4'000'000, SetBps, GetBps},
      {"frame-size", 7, 8, SetFrameSize, GetFrameSize},
      {"rx-buffer", 1, 2048, SetRXbuffer, GetRXbuffer},
      {"tx-buffer", 1, 2048, SetTXbuffer, GetTXbuffer},
      {"local-address", 0, 255, SetLocalAddress, getLocalAddr},
      {"adapter", 0, 255, SetAdapterID, getAdapterID},
      {"protocol", 1, 2, SetProtocol, nullptr},
      {"packet-timeout", 1, 32767, SetPacketTimeout, getPacketTimeout},
      {"busy-timeout", 1, 32767, SetBusyTimeout, getBusyTimeout},
  };
  return all;
}

std::optional<int32_t> g_protocolOption;

std::string Lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// "Protocol"=dword:00000002 in the driver's key of $ZEVA_PREFIX/system.reg.
std::optional<int32_t> SavedProtocol(const std::string& path, std::string* why) {
#ifdef _WIN32
  // The settings live in the registry there.
  (void)path;
  *why = "not reported by the driver";
  return std::nullopt;
#endif
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    *why = "the default: no " + path;
    return 2;
  }
  std::string error;
  const std::optional<std::string> text = zeva::tools::ReadBoundedFile(path, zeva::tools::kMaxTextFileBytes, &error);
  if (!text) {
    *why = error;
    return std::nullopt;
  }
  std::istringstream in(*text);
  bool inKey = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inKey = Lower(line) == Lower("[HKEY_LOCAL_MACHINE\\Software\\Velmora\\Orlindo]");
      continue;
    }
    const std::string prefix = "\"protocol\"=dword:";
    if (!inKey || Lower(line).rfind(prefix, 0) != 0) continue;
    const auto value = ParseNumber("0x" + line.substr(prefix.size()), 0, 0xFFFFFFFFLL);
    if (value && (*value == 1 || *value == 2)) return static_cast<int32_t>(*value);
    *why = path + " holds " + line.substr(prefix.size()) + ", not 1 or 2";
    return std::nullopt;
  }
  *why = "not in " + path + ": the default";
  return 2;
}

// The protocol this run uses and where it comes from.
std::optional<int32_t> ProtocolInUse(std::string* from) {
  if (g_protocolOption) {
    *from = "--protocol";
    return g_protocolOption;
  }
  const char* env = std::getenv("ZEVA_PREFIX");
  const std::string path = std::string(env != nullptr && env[0] != '\0' ? env : "/etc/zeva232") + "/system.reg";
  std::string why = "saved in " + path;
  const std::optional<int32_t> value = SavedProtocol(path, &why);
  *from = why;
  return value;
}

const Setting* FindSetting(const std::string& name) {
  for (const Setting& s : Settings()) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

int Show(Session& s, Json& out) {
  Json settings = Json::object();
  for (const Setting& setting : Settings()) {
    if (setting.get == nullptr) {
      // Only the protocol has no getter: this run's option, else the saved
      // value the driver read at start.
      std::string from;
      const std::optional<int32_t> value = ProtocolInUse(&from);
      settings[setting.name] = value ? Json(*value) : Json(nullptr);
      char line[128];
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
