#include "tools/zevasim/options.h"

#include <functional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/common/bounded_file.h"
#include "tools/zevasim/config_json.h"

namespace zeva::zevasim {

namespace {

const char* const kDescription =
    "zevasim: a simulated ZEVA bus (RS-485 adapter with echo and any number of devices)\n"
    "on a pseudo-terminal. The first line of output is the terminal's path; a client\n"
    "opens it as its serial port (for instance through --link $ZEVA_PREFIX/dosdevices/com1).\n"
    "Runs until SIGINT or SIGTERM, then removes its link and exits with status 0.\n";

const char* const kFooter = R"(
Devices answer identification (250), remote error (5) and queries with a type-1
data frame of six bytes to the asking station, acknowledge every data frame
addressed to them that asks for it, obey reboot/stop (254), clear error (252),
address assignment by serial (251), program commit (253) and reset
communication (type-6 short frame), and take program bodies; a device whose
version high number is not 0 answers each body frame with response code 244.

Times of events (MS) count from the start of zevasim. Fault counts N strike the
next N times; -1 strikes always.
)";

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// A number in decimal, or in hex with 0x.
int64_t Number(const std::string& text, int64_t min, int64_t max, const std::string& what) {
  size_t used = 0;
  int64_t value = 0;
  try {
    value = std::stoll(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < min || value > max) {
    throw std::runtime_error(what + " must be " + std::to_string(min) + ".." + std::to_string(max) +
                             ": \"" + text + "\"");
  }
  return value;
}

std::vector<uint8_t> HexBytes(const std::string& text, size_t maxSize) {
  if (text.size() % 2 != 0 || text.size() / 2 > maxSize) {
    throw std::runtime_error("expected up to " + std::to_string(maxSize) + " bytes in hex: \"" + text + "\"");
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(Number("0x" + text.substr(i, 2), 0, 255, "hex byte")));
  }
  return bytes;
}

sim::DeviceSetup& DeviceAt(sim::SimSetup& setup, const std::string& address) {
  const auto a = static_cast<uint8_t>(Number(address, 0, 127, "device address"));
  for (sim::DeviceSetup& d : setup.devices) {
    if (d.config.address == a) return d;
  }
  throw std::runtime_error("no device with address " + address);
}

// The knobs of one device: "ADDR:VALUE[:MORE]".
struct DeviceKnob {
  const char* name;
  const char* format;
  const char* help;
  size_t minParts;
  size_t maxParts;
  std::function<void(sim::DeviceSetup&, const std::vector<std::string>&)> apply;
  std::vector<std::string> values = {};
};

std::vector<DeviceKnob> DeviceKnobs() {
  return {
      {"--drop-acks", "ADDR:N", "device ADDR loses its next N acknowledgements", 2, 2,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         d.faults.dropAcks = static_cast<int32_t>(Number(p[1], -1, INT32_MAX, "count"));
       }},
      {"--silent", "ADDR", "device ADDR hears everything and sends nothing", 1, 1,
       [](sim::DeviceSetup& d, const std::vector<std::string>&) { d.faults.silent = true; }},
      {"--ack-delay-us", "ADDR:US", "extra delay before device ADDR's acknowledgements", 2, 2,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         d.faults.extraAckDelayUs = static_cast<uint64_t>(Number(p[1], 0, INT64_MAX, "delay"));
       }},
      {"--reply-delay-us", "ADDR:US", "extra delay before device ADDR's replies and responses", 2, 2,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         d.faults.extraReplyDelayUs = static_cast<uint64_t>(Number(p[1], 0, INT64_MAX, "delay"));
       }},
      {"--wrong-source", "ADDR:SOURCE[:N]", "device ADDR replies from address SOURCE (N times, default always)",
       2, 3,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         d.faults.wrongSource = static_cast<uint8_t>(Number(p[1], 0, 255, "source"));
         d.faults.wrongSourceReplies =
             p.size() > 2 ? static_cast<int32_t>(Number(p[2], -1, INT32_MAX, "count")) : -1;
       }},
      {"--corrupt-replies", "ADDR:N[:INDEX]", "device ADDR damages byte INDEX (default 10) of N replies", 2, 3,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         d.faults.corruptReplies = static_cast<int32_t>(Number(p[1], -1, INT32_MAX, "count"));
         if (p.size() > 2) d.faults.corruptIndex = static_cast<int32_t>(Number(p[2], 0, 10, "index"));
       }},
      {"--response-code", "ADDR:CODE", "device ADDR answers each acknowledged data frame with CODE", 2, 2,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         d.config.responseCode = static_cast<uint8_t>(Number(p[1], 0, 255, "code"));
       }},
      {"--remote-error", "ADDR:HEX12", "device ADDR's stored remote error record, e.g. 5:031105022808", 2, 2,
       [](sim::DeviceSetup& d, const std::vector<std::string>& p) {
         const std::vector<uint8_t> record = HexBytes(p[1], 6);
         d.config.remoteError = {};
         std::copy(record.begin(), record.end(), d.config.remoteError.begin());
       }},
  };
}

struct EventKnobs {
  std::vector<std::string> unsolicited;
  std::vector<std::string> linkResets;
  std::vector<std::string> noise;
  std::vector<uint64_t> unplugAtMs;
};

sim::ScheduledEvent UnsolicitedEvent(const std::string& text) {
  const std::vector<std::string> p = Split(text, ':');
  if (p.size() != 5) throw std::runtime_error("expected MS:FROM:TO:CONTROL:HEX12, got \"" + text + "\"");
  sim::ScheduledEvent e;
  e.kind = sim::ScheduledEvent::Kind::kUnsolicited;
  e.atUs = static_cast<uint64_t>(Number(p[0], 0, INT64_MAX / 1000, "time")) * 1000;
  e.from = static_cast<uint8_t>(Number(p[1], 1, 127, "device address"));
  e.to = static_cast<uint8_t>(Number(p[2], 0, 127, "destination"));
  e.control = static_cast<uint8_t>(Number(p[3], 0, 255, "control byte"));
  const std::vector<uint8_t> data = HexBytes(p[4], 6);
  std::copy(data.begin(), data.end(), e.data.begin());
  return e;
}

sim::ScheduledEvent LinkResetEvent(const std::string& text) {
  const std::vector<std::string> p = Split(text, ':');
  if (p.size() < 2 || p.size() > 4) throw std::runtime_error("expected MS:FROM[:TYPE[:CODE]], got \"" + text + "\"");
  sim::ScheduledEvent e;
  e.kind = sim::ScheduledEvent::Kind::kLinkReset;
  e.atUs = static_cast<uint64_t>(Number(p[0], 0, INT64_MAX / 1000, "time")) * 1000;
  e.from = static_cast<uint8_t>(Number(p[1], 1, 127, "device address"));
  if (p.size() > 2) e.type = static_cast<uint8_t>(Number(p[2], 6, 7, "type"));
  if (p.size() > 3) e.code = static_cast<uint8_t>(Number(p[3], 0, 3, "code"));
  return e;
}

sim::ScheduledEvent NoiseEvent(const std::string& text) {
  const std::vector<std::string> p = Split(text, ':');
  if (p.size() != 2) throw std::runtime_error("expected MS:HEX, got \"" + text + "\"");
  sim::ScheduledEvent e;
  e.kind = sim::ScheduledEvent::Kind::kNoise;
  e.atUs = static_cast<uint64_t>(Number(p[0], 0, INT64_MAX / 1000, "time")) * 1000;
  e.bytes = HexBytes(p[1], 4096);
  return e;
}

void LoadConfigFile(const std::string& path, sim::SimSetup* setup) {
  std::string error;
  const std::optional<std::string> text = tools::ReadBoundedFile(path, tools::kMaxTextFileBytes, &error);
  if (!text) throw std::runtime_error(error);
  if (!LoadSetupJson(*text, setup, &error)) throw std::runtime_error(path + ": " + error);
}

void AddDevices(bool demo, const std::vector<std::string>& texts, sim::SimSetup* setup) {
  if (demo) {
    const sim::SimSetup demoSetup = sim::DemoSetup();
    setup->devices.insert(setup->devices.end(), demoSetup.devices.begin(), demoSetup.devices.end());
  }
  for (const std::string& text : texts) {
    std::string error;
    const auto config = sim::ParseDeviceText(text, &error);
    if (!config) throw std::runtime_error("--device: " + error);
    sim::DeviceSetup d;
    d.config = *config;
    setup->devices.push_back(d);
  }
}

void AddEvents(const EventKnobs& knobs, sim::SimSetup* setup) {
  for (const std::string& s : knobs.unsolicited) setup->events.push_back(UnsolicitedEvent(s));
  for (const std::string& s : knobs.linkResets) setup->events.push_back(LinkResetEvent(s));
  for (const std::string& s : knobs.noise) setup->events.push_back(NoiseEvent(s));
  for (uint64_t ms : knobs.unplugAtMs) {
    sim::ScheduledEvent e;
    e.kind = sim::ScheduledEvent::Kind::kUnplug;
    e.atUs = ms * 1000;
    setup->events.push_back(e);
  }
}

void ApplyDeviceKnobs(std::vector<DeviceKnob>& knobs, sim::SimSetup* setup) {
  for (DeviceKnob& knob : knobs) {
    for (const std::string& value : knob.values) {
      const std::vector<std::string> p = Split(value, ':');
      if (p.size() < knob.minParts || p.size() > knob.maxParts) {
        throw std::runtime_error(std::string(knob.name) + ": expected " + knob.format + ", got \"" + value + "\"");
      }
      knob.apply(DeviceAt(*setup, p[0]), p);
    }
  }
}

// The command line as given, before it is merged with the --config file.
struct CommandLine {
  int32_t protocol = 2;
  int32_t localAddress = 1;
  uint64_t turnaroundUs = 1000;
  uint64_t seed = 1;
  std::string config;
  bool demo = false;
  bool noEcho = false;
  bool pacing = false;
  bool adapterAcks = false;
  double drop = -1.0;
  double corrupt = -1.0;
  std::vector<std::string> devices;
  std::vector<DeviceKnob> knobs = DeviceKnobs();
  EventKnobs events;

  void DefineBus(CLI::App& app, Options* options);
  void DefineFaults(CLI::App& app);
  void Apply(const CLI::App& app, Options* options);
};

void CommandLine::DefineBus(CLI::App& app, Options* options) {
  app.add_option("--tty", options->tty, "serve this terminal (e.g. a serial port) instead of a new pseudo-terminal")
      ->type_name("PATH");
  app.add_option("--link", options->link, "create a symbolic link PATH to the terminal (its folder must exist, PATH must not); removed at exit")
      ->type_name("PATH");
  app.add_option("--bps", options->bps, "bit rate, for wire pacing and --tty (default 19200)")
      ->type_name("BPS")->check(CLI::Range(1, 4'000'000).description(""));
  app.add_option("--byte-size", options->byteSize, "data bits per character, 7 or 8 (default 8)")
      ->type_name("BITS")->check(CLI::Range(7, 8).description(""));
  app.add_option("--protocol", protocol, "checksum variant, 1 or 2 (default 2)")
      ->type_name("1|2")->check(CLI::Range(1, 2).description(""));
  app.add_option("--local-address", localAddress, "the host's station address (default 1)")
      ->type_name("ADDR")->check(CLI::Range(0, 255).description(""));
  app.add_flag("--no-echo", noEcho, "the adapter does not echo the host's bytes");
  app.add_flag("--pacing", pacing, "bytes take their wire time at the bit rate (11 bits at 8E1)");
  app.add_option("--turnaround-us", turnaroundUs, "pause before each acknowledgement and reply (default 1000)")
      ->type_name("US");
  app.add_flag("--adapter-acks", adapterAcks, "the adapter acknowledges for the host (AdapterID other than 0)");
  app.add_flag("--trace", options->trace, "print every frame on the line to standard error");
  app.add_option("--seed", seed, "seed of the fault generator (default 1)")->type_name("N");
  app.add_option("--device", devices, "a device, e.g. 5:S01A2B3:5:2.7 (repeatable)")
      ->type_name("ADDR:SERIAL:PRODUCT:VH.VL");
  app.add_option("--config", config, "a JSON bus description (schema below)")
      ->type_name("FILE");
  app.add_flag("--demo", demo, "add three demo devices: 5 S01A2B3 product 5 v2.7, 7 S00C0DE product 12 v0.9, "
                               "12 S1F2E3D product 3 v1.4 with a stored error");
}

void CommandLine::DefineFaults(CLI::App& app) {
  for (DeviceKnob& knob : knobs) {
    app.add_option(knob.name, knob.values, knob.help)->type_name(knob.format)->group("Device faults");
  }
  app.add_option("--drop-probability", drop, "chance that a byte on the line is lost")
      ->type_name("P")->check(CLI::Range(0.0, 1.0).description(""))->group("Line faults");
  app.add_option("--corrupt-probability", corrupt, "chance that a byte on the line is damaged")
      ->type_name("P")->check(CLI::Range(0.0, 1.0).description(""))->group("Line faults");
  app.add_option("--unsolicited", events.unsolicited,
                 "device FROM sends a data frame at MS, e.g. 500:5:1:0xC0:010203040506")
      ->type_name("MS:FROM:TO:CONTROL:HEX12")->group("Line faults");
  app.add_option("--link-reset", events.linkResets, "device FROM sends a link-reset short frame (type 6, code 1 by default)")
      ->type_name("MS:FROM[:TYPE[:CODE]]")->group("Line faults");
  app.add_option("--noise", events.noise, "these bytes appear on the line at MS, e.g. 1000:FE0501")
      ->type_name("MS:HEX")->group("Line faults");
  app.add_option("--unplug-at", events.unplugAtMs, "the line is unplugged at MS (the terminal closes)")
      ->type_name("MS")->group("Line faults");
}

// The file first; options given on the command line win over it.
void CommandLine::Apply(const CLI::App& app, Options* options) {
  sim::SimSetup& setup = options->setup;
  if (!config.empty()) LoadConfigFile(config, &setup);
  if (app.count("--protocol")) setup.bus.protocol = protocol;
  if (app.count("--local-address")) setup.bus.localAddress = static_cast<uint8_t>(localAddress);
  if (app.count("--turnaround-us")) setup.bus.turnaroundUs = turnaroundUs;
  if (app.count("--seed")) setup.bus.seed = seed;
  if (noEcho) setup.bus.echo = false;
  if (pacing) setup.bus.pacing = true;
  if (adapterAcks) setup.bus.adapterAcks = true;
  if (app.count("--bps") || setup.bus.bps == 0) setup.bus.bps = options->bps;
  if (app.count("--byte-size")) setup.bus.byteSize = options->byteSize;
  options->bps = setup.bus.bps;
  options->byteSize = setup.bus.byteSize;
  if (drop >= 0.0) setup.lineFaults.dropProbability = drop;
  if (corrupt >= 0.0) setup.lineFaults.corruptProbability = corrupt;
  setup.bus.keepTrace = false;  // a long run must not grow; --trace prints instead
  AddDevices(demo, devices, &setup);
  ApplyDeviceKnobs(knobs, &setup);
  AddEvents(events, &setup);
  if (std::string why = sim::ValidateSetup(setup); !why.empty()) throw std::runtime_error(why);
}

}  // namespace

std::optional<int> ParseOptions(int argc, char** argv, Options* options) {
  CLI::App app(kDescription, "zevasim");
  app.footer(std::string(kFooter) + "\n" + kConfigSchemaHelp);
  app.get_formatter()->column_width(40);
  CommandLine line;
  line.DefineBus(app, options);
  line.DefineFaults(app);
  try {
    app.parse(argc, argv);
    line.Apply(app, options);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;  // --help is a ParseError too
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zevasim: %s\n", e.what());
    return 2;
  }
  return std::nullopt;
}

}  // namespace zeva::zevasim
