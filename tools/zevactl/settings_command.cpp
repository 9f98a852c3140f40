// settings show | set NAME VALUE | save
#include <unistd.h>

#include <cstdio>
#include <memory>

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
      settings[setting.name] = nullptr;
      Print(s, std::string(setting.name) + std::string(16 - std::string(setting.name).size(), ' ') +
                   "(not reported by the driver)");
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
