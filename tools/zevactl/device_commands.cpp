// stop, reboot, reset, clear, restart, assign, program, monitor.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "tools/zevactl/args.h"
#include "tools/zevactl/command_util.h"
#include "tools/zevactl/program_file.h"

namespace zevactl {

namespace {

Command DeviceCommand(CLI::App& app, const char* name, const char* help, int32_t(ZEVA_CALL* operation)(int32_t)) {
  auto address = std::make_shared<std::string>();
  Command c;
  c.app = app.add_subcommand(name, help);
  c.app->add_option("ADDR", *address, "bus address, 0-127 (0: every device)")->required();
  c.validate = [=] { Address(*address, 0, 127); };
  c.run = [=](Session& s, Json& out) {
    const int32_t a = Address(*address, 0, 127);
    s.holdUndelivered = true;
    const int32_t ok = operation(a);
    s.Drain();
    s.holdUndelivered = false;
    out["address"] = a;
    if (!ok) {
      s.NoAnswer(a);
      return 1;
    }
    Print(s, "sent");
    return 0;
  };
  return c;
}

Command RestartCommand(CLI::App& app) {
  Command c;
  c.app = app.add_subcommand("restart", "reopen the port, clear every device's error and reboot every device");
  c.run = [](Session& s, Json&) {
    const int32_t ok = Restart();
    s.Drain();
    if (!ok) return 1;
    Print(s, "restarted");
    return 0;
  };
  return c;
}

void CheckStationAddress(int32_t address) {
  if (address == getLocalAddr()) {
    throw UsageError("address " + std::to_string(address) + " is this station's own address");
  }
}

// The device that answers at `address`, if any; a silence leaves no error.
std::optional<FirmwareInfo> WhoIsAt(Session& s, int32_t address) {
  const size_t errorsBefore = s.errors.size();
  s.firmware.clear();
  s.holdUndelivered = true;
  const int32_t ok = GetFirmwareInfo(address);
  s.Drain();
  s.holdUndelivered = false;
  if (ok && !s.firmware.empty()) return s.firmware.back();
  bool undeliveredOnly = true;
  for (size_t i = errorsBefore; i < s.errors.size(); ++i) undeliveredOnly = undeliveredOnly && s.errors[i].code == 2;
  if (undeliveredOnly) s.errors.resize(errorsBefore);
  return std::nullopt;
}

Command AssignCommand(CLI::App& app) {
  auto serial = std::make_shared<std::string>();
  auto address = std::make_shared<std::string>();
  auto force = std::make_shared<bool>(false);
  Command c;
  c.app = app.add_subcommand("assign", "give the device with serial code SERIAL the bus address ADDR");
  c.app->add_option("SERIAL", *serial, "serial code, e.g. S01A2B3")->required();
  c.app->add_option("ADDR", *address, "the new address, 1-127 (asked first: refused when another device answers)")
      ->required();
  c.app->add_flag("--force", *force, "give the address even when another device answers at it");
  c.validate = [=] {
    if (!ParseSerialText(*serial)) throw UsageError("bad serial \"" + *serial + "\": expected S and 1-6 hex digits");
    CheckStationAddress(Address(*address, 1, 127));
  };
  c.run = [=](Session& s, Json& out) {
    const int32_t a = Address(*address, 1, 127);
    CheckStationAddress(a);
    const std::string text = *ParseSerialText(*serial);
    out["serial"] = text;
    out["address"] = a;
    // Two devices on one address answer over each other: ask who is there.
    const std::optional<FirmwareInfo> there = WhoIsAt(s, a);
    if (s.PortLost()) return 1;
    if (there && there->serial == text) {
      Print(s, text + " has address " + std::to_string(a) + " already; nothing sent");
      return 0;
    }
    if (there && !*force) {
      s.Fail("address " + std::to_string(a) + " is taken by " + there->serial +
             "; nothing sent (--force gives it anyway, and both devices then share it)");
      return 1;
    }
    const int32_t ok = SetAddrID(text.c_str(), a, 0);
    s.Drain();
    s.EndProgress();
    if (!ok) return 1;
    Print(s, "address " + std::to_string(a) + " sent to " + text + " (the device does not confirm; try: info " +
                 std::to_string(a) + ")");
    return 0;
  };
  return c;
}

// The body goes in frames of six bytes; a device whose firmware version high
// number is 0 takes each acknowledged and 250 ms apart, so a large program
// takes minutes there (a newer device answers each at once).
std::string SlowDeviceEstimate(int32_t length) {
  const int32_t frames = (length + 5) / 6;
  const int32_t seconds = (frames + 3) / 4;
  const std::string time = seconds < 120 ? std::to_string(seconds) + " s" : std::to_string((seconds + 30) / 60) + " min";
  return std::to_string(frames) + " frames, about " + time + " into a device of firmware 0.x (250 ms a frame)";
}

Command ProgramCommand(CLI::App& app) {
  struct Args {
    std::string serial, address, file, product, minVersion, format = "auto";
    bool direct = false;
    bool restartOnFailure = true;
  };
  auto a = std::make_shared<Args>();
  auto image = std::make_shared<ProgramImage>();
  Command c;
  c.app = app.add_subcommand("program", "download FILE (Intel HEX, or raw binary with --format bin) into a device");
  c.app->add_option("SERIAL", a->serial, "the device's serial code, e.g. S01A2B3")->required();
  c.app->add_option("ADDR", a->address, "its bus address, 1-127")->required();
  c.app->add_option("FILE", a->file, "the program: Intel HEX (gaps filled with 0xFF), or raw binary (see --format)")
      ->required();
  c.app->add_option("--format", a->format,
                    "auto (default: .bin files are raw binary, .hex/.ihx/.ihex and other text files Intel HEX), "
                    "hex or bin");
  c.app->add_option("--product", a->product, "the product code the program is for (above 200: not checked)")
      ->required();
  c.app->add_option("--min-version", a->minVersion, "the lowest firmware version it runs on, H.L")->required();
  // The driver has no way to stop a download part-way: it runs to its end.
  c.interruptNote =
      "finishing the download (it cannot stop part-way), press Ctrl-C again to abandon it (the device may be left "
      "half-programmed)";
  c.app->add_flag("--direct", a->direct, "the device has its address already: no stop, addressing or restart");
  c.app->add_flag("--restart-on-failure", a->restartOnFailure,
                  "when the download is refused after the bus was stopped, restart the bus (the default)");
  c.app->add_flag_callback("--no-restart-on-failure", [a] { a->restartOnFailure = false; },
                           "leave the bus stopped then (and say how to restart it)");
  c.validate = [=] {
    if (!ParseSerialText(a->serial)) throw UsageError("bad serial \"" + a->serial + "\": expected S and 1-6 hex digits");
    CheckStationAddress(Address(a->address, 1, 127));
    Number(a->product, 0, 65535, "product code");
    if (!ParseVersion(a->minVersion)) throw UsageError("bad --min-version \"" + a->minVersion + "\": expected H.L");
    const std::optional<ProgramFormat> format = ParseProgramFormat(a->format);
    if (!format) throw UsageError("bad --format \"" + a->format + "\": expected auto, hex or bin");
    std::string error;
    auto loaded = LoadProgramFile(a->file, *format, &error);
    if (!loaded) throw UsageError(error);
    *image = std::move(*loaded);
  };
  c.run = [=](Session& s, Json& out) {
    const int32_t address = Address(a->address, 1, 127);
    CheckStationAddress(address);
    const std::string serial = *ParseSerialText(a->serial);
    const auto [high, low] = *ParseVersion(a->minVersion);
    const int32_t product = Number(a->product, 0, 65535, "product code");
    const auto length = static_cast<int32_t>(image->bytes.size());
    if (image->gapBytes > 0) s.Note(std::to_string(image->gapBytes) + " byte(s) of gaps filled with 0xFF");
    s.Note("programming " + std::to_string(length) + " bytes into " + serial + " at address " +
           std::to_string(address) + "; " + SlowDeviceEstimate(length));
    const int32_t ok = a->direct ? ProgramDirect(serial.c_str(), address, product, low, high, image->bytes.data(), length)
                                 : Program(serial.c_str(), address, product, low, high, image->bytes.data(), length);
    s.Drain();
    s.EndProgress();
    const int32_t code = GetLastProgramError();
    out["bytes"] = length;
    out["stages"] = s.stages;
    out["programError"] = code;
    out["programErrorText"] = ProgramErrorText(code);
    // Program runs to its end also when the body failed; the code tells.
    if (!ok || code != 0) {
      std::fprintf(stderr, "error: programming failed: %s (program error %d)\n", ProgramErrorText(code).c_str(), code);
      // Refused after the stop broadcast (no device, wrong serial, product
      // or version): the download never reached its closing restart.
      const bool busStopped = !a->direct && !ok && code >= 4 && code <= 7;
      out["busStopped"] = busStopped;
      if (busStopped && a->restartOnFailure && !s.PortLost()) {
        s.Note("every device on the bus was stopped for the download; restarting the bus");
        const bool restarted = Restart() != 0;
        s.Drain();
        out["busStopped"] = !restarted;
        if (restarted) s.Note("bus restarted");
      }
      if (out["busStopped"].get<bool>()) {
        s.Fail("every device on the bus is left stopped; 'zevactl restart' (with this run's --port) starts them again");
      }
      return 1;
    }
    Print(s, "programmed " + std::to_string(length) + " bytes into " + serial + " at address " + std::to_string(address));
    return 0;
  };
  return c;
}

Command MonitorCommand(CLI::App& app) {
  auto spy = std::make_shared<bool>(false);
  auto seconds = std::make_shared<double>(0);
  Command c;
  c.app = app.add_subcommand("monitor", "print every frame received until Ctrl-C");
  c.interruptNote.clear();  // it ends at once
  c.app->add_flag("--spy", *spy, "also frames between other stations");
  c.app->add_option("--for", *seconds, "stop after this many seconds (above 0; without it: until Ctrl-C)");
  c.validate = [=, app = c.app] {
    // 0 once meant "for ever" and NaN "not at all": both are refused.
    if (app->count("--for") > 0 && !(*seconds > 0 && *seconds <= 1e7)) {
      throw UsageError("bad --for: expected seconds above 0, at most 10000000 (leave it out to run until Ctrl-C)");
    }
  };
  c.run = [=](Session& s, Json& out) {
    if (*spy) SetSpy(1);
    // Frames the devices send unasked are to be shown, not answered.
    s.monitoring = true;
    s.Note("monitoring; Ctrl-C stops");
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(*seconds);
    const bool forEver = *seconds == 0;  // no --for
    while (!g_interrupted.load() && (forEver || std::chrono::steady_clock::now() < end)) {
      if (s.PortLost()) {
        s.monitoring = false;
        out["stopped"] = "port lost";
        return 1;
      }
      s.Drain();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    s.monitoring = false;
    out["stopped"] = g_interrupted.load() ? "interrupt" : "time";
    return 0;
  };
  return c;
}

}  // namespace

std::vector<Command> DefineDeviceCommands(CLI::App& app) {
  return {DeviceCommand(app, "stop", "stop a device (0: all)", Stop),
          DeviceCommand(app, "reboot", "reboot a device (0: all)", Reboot),
          DeviceCommand(app, "reset", "reset a device's communication (0: all)", ResetComm),
          DeviceCommand(app, "clear", "clear a device's stored error (0: all)", ClearRemoteError),
          RestartCommand(app),
          AssignCommand(app),
          ProgramCommand(app),
          MonitorCommand(app)};
}

}  // namespace zevactl
