#include "tools/zevactl/commands.h"

#include <cstdio>
#include <memory>

#include "tools/zevactl/args.h"
#include "tools/zevactl/command_util.h"

namespace zevactl {

namespace {

// --- read-only commands -------------------------------------------------

Command MapCommand(CLI::App& app) {
  Command c;
  c.app = app.add_subcommand("map", "probe addresses 1-127 and list the devices found (Ctrl-C stops early)");
  c.interruptNote = "stopping the map before the next address; press Ctrl-C again to abandon it";
  c.run = [](Session& s, Json& out) {
    const int32_t ok = MakeMap();
    s.Drain();
    s.EndProgress();
    if (!ok) return 1;
    Json devices = Json::array();
    if (!s.mode().json) std::printf("%-7s  %-8s  %-7s  %-32s  %s\n", "address", "serial", "product", "name", "firmware");
    for (const FoundDevice& d : s.found) {
      s.firmware.clear();
      std::string name;
      if (!s.PortLost() && GetFirmwareInfo(d.address) && !s.firmware.empty()) name = s.firmware.back().name;
      s.Drain();
      const std::string version = std::to_string(d.versionHigh) + "." + std::to_string(d.versionLow);
      devices.push_back({{"address", d.address}, {"serial", d.serial}, {"product", d.product}, {"name", name},
                         {"version", version}});
      if (!s.mode().json) {
        std::printf("%-7d  %-8s  %-7d  %-32s  %s\n", d.address, d.serial.c_str(), d.product, name.c_str(),
                    version.c_str());
      }
    }
    out["devices"] = devices;
    out["aborted"] = s.mapAborted;
    if (s.PortLost()) {
      s.Note("map stopped at address " + std::to_string(s.mapAddress) + "; the devices found before are listed");
      return 1;
    }
    if (s.mapAborted) {
      s.Note("map stopped at address " + std::to_string(s.mapAddress));
      return 1;
    }
    s.Note(std::to_string(s.found.size()) + " device(s) found");
    return 0;
  };
  return c;
}

Command InfoCommand(CLI::App& app) {
  auto address = std::make_shared<std::string>();
  Command c;
  c.app = app.add_subcommand("info", "identify a device: serial, product, firmware version (0: the first to answer)");
  c.app->add_option("ADDR", *address, "bus address, 0-255")->required();
  c.validate = [=] { Address(*address, 0, 255); };
  c.run = [=](Session& s, Json& out) {
    const int32_t a = Address(*address, 0, 255);
    s.holdUndelivered = true;
    const int32_t ok = GetFirmwareInfo(a);
    s.Drain();
    s.holdUndelivered = false;
    if (!ok || s.firmware.empty()) {
      s.NoAnswer(a);
      return 1;
    }
    out["device"] = IdentityJson(s.firmware.back());
    Print(s, IdentityLine(s.firmware.back()));
    return 0;
  };
  return c;
}

Command ErrorCommand(CLI::App& app) {
  auto address = std::make_shared<std::string>();
  Command c;
  c.app = app.add_subcommand("error", "read a device's last run-time error report");
  c.app->add_option("ADDR", *address, "bus address, 0-127 (0: the first to answer)")->required();
  c.validate = [=] { Address(*address, 0, 127); };
  c.run = [=](Session& s, Json& out) {
    const int32_t a = Address(*address, 0, 127);
    s.holdUndelivered = true;
    const int32_t ok = GetRemoteError(a);
    s.Drain();
    s.holdUndelivered = false;
    if (!ok || s.remoteErrors.empty()) {
      s.NoAnswer(a);
      return 1;
    }
    const RemoteErrorReport& r = s.remoteErrors.back();
    out["address"] = r.address;
    out["code"] = r.code;
    out["report"] = PlainLines(r.report);
    Print(s, "address " + std::to_string(r.address) + "  error code " + std::to_string(r.code));
    Print(s, PlainLines(r.report));
    return 0;
  };
  return c;
}

Command QueryCommand(CLI::App& app) {
  auto address = std::make_shared<std::string>();
  auto data = std::make_shared<std::vector<std::string>>();
  Command c;
  c.app = app.add_subcommand("query", "send six bytes (default: zeros) and print the device's reply");
  c.app->add_option("ADDR", *address, "bus address, 0-127 (0: the first to answer)")->required();
  c.app->add_option("HEX", *data, "six bytes in hex, e.g. 01 02 03 04 05 06 or 010203040506");
  c.validate = [=] {
    Address(*address, 0, 127);
    if (!data->empty() && HexArgs(*data, "query data").size() != 6) throw UsageError("query data: expected six bytes");
  };
  c.run = [=](Session& s, Json& out) {
    const int32_t a = Address(*address, 0, 127);
    std::vector<uint8_t> bytes = data->empty() ? std::vector<uint8_t>(6, 0) : HexArgs(*data, "query data");
    s.holdUndelivered = true;
    const int32_t ok = Query(a, bytes.data(), 1, 0);
    s.Drain();
    s.holdUndelivered = false;
    if (!ok || s.queryReplies.empty()) {
      s.NoAnswer(a);
      return 1;
    }
    const QueryReply& r = s.queryReplies.back();
    out["address"] = r.address;
    out["reply"] = Hex(r.bytes);
    Print(s, "address " + std::to_string(r.address) + " replied: " + Hex(r.bytes));
    return 0;
  };
  return c;
}

Command VersionCommand(CLI::App& app) {
  Command c;
  c.app = app.add_subcommand("version", "print the driver's version");
  c.needsPort = false;
  c.run = [](Session& s, Json& out) {
    char text[64] = {};
    const int32_t n = GetZEVADriverVersion(text, sizeof text);
    if (n <= 0 || n >= static_cast<int32_t>(sizeof text)) return 1;
    out["driver"] = text;
    Print(s, std::string("zeva232 driver ") + text);
    return 0;
  };
  return c;
}

}  // namespace

std::vector<Command> DefineSendCommands(CLI::App& app);
std::vector<Command> DefineDeviceCommands(CLI::App& app);
Command SettingsCommand(CLI::App& app);

std::vector<Command> DefineCommands(CLI::App& app) {
  std::vector<Command> all = {MapCommand(app), InfoCommand(app), ErrorCommand(app), QueryCommand(app)};
  for (Command& c : DefineSendCommands(app)) all.push_back(std::move(c));
  for (Command& c : DefineDeviceCommands(app)) all.push_back(std::move(c));
  all.push_back(SettingsCommand(app));
  all.push_back(VersionCommand(app));
  return all;
}

}  // namespace zevactl
