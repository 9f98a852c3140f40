#include "tools/zevasim/config_json.h"

#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace zeva::zevasim {

using nlohmann::json;

const char* const kConfigSchemaHelp = R"(JSON bus description (--config FILE); every key is optional:
{
  "protocol": 2,            checksum variant, 1 or 2
  "bps": 19200,             bit rate (wire pacing)
  "byteSize": 8,            data bits per character, 7 or 8
  "localAddress": 1,        the host's station address
  "echo": true,             the adapter echoes the host's bytes
  "pacing": false,          bytes take their wire time
  "turnaroundUs": 1000,     pause before each acknowledgement and reply
  "adapterAcks": false,     the adapter acknowledges for the host
  "seed": 1,                seed of the fault generator
  "dropProbability": 0.0,   chance that a byte on the line is lost
  "corruptProbability": 0.0,chance that a byte on the line is damaged
  "devices": [
    { "address": 5, "serial": "S01A2B3", "product": 5, "version": "2.7",
      "remoteError": [0,0,0,0,0,0],  the stored remote error record
      "responseCode": 0,             answer every acknowledged frame with this code
      "queryReply": [1,2,3,4,5,6],   fixed answer to queries (default: the
                                     request's bytes 0-4 inverted, then byte 5)
      "faults": { "dropAcks": 0, "silent": false,
                  "extraAckDelayUs": 0, "extraReplyDelayUs": 0,
                  "wrongSource": 9, "wrongSourceReplies": 0,
                  "corruptReplies": 0, "corruptIndex": 10,
                  "noiseBeforeReplies": [0, 255] } }
  ],                        fault counts: N next times, -1 always
  "events": [               "atMs" (or "atUs") from the start
    { "atMs": 500, "kind": "unsolicited", "from": 5, "to": 1,
      "type": 0, "count": 6, "noAck": false, "alternation": false,
      "data": [1,2,3,4,5,6] },          or "control": 193 instead of type..alternation
    { "atMs": 800, "kind": "linkReset", "from": 5, "type": 6, "code": 1 },
    { "atMs": 900, "kind": "noise", "bytes": [254, 1, 2] },   or "random": 8
    { "atMs": 1000, "kind": "unplug" },
    { "atMs": 3000, "kind": "replug" }
  ]
})";

namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw std::runtime_error(where + ": " + what);
}

// Reads the keys of one JSON object and refuses the ones nobody asked for.
class Fields {
 public:
  Fields(const json& object, std::string where) : object_(object), where_(std::move(where)) {
    if (!object_.is_object()) Fail(where_, "expected an object");
  }

  const json* Find(const char* key) {
    seen_.insert(key);
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }

  template <typename T>
  void Integer(const char* key, T* out, int64_t min, int64_t max) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_number_integer()) Fail(where_, std::string(key) + " must be an integer");
    const int64_t value = v->get<int64_t>();
    if (value < min || value > max) {
      Fail(where_, std::string(key) + " must be " + std::to_string(min) + ".." + std::to_string(max));
    }
    *out = static_cast<T>(value);
  }

  void Bool(const char* key, bool* out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_boolean()) Fail(where_, std::string(key) + " must be true or false");
    *out = v->get<bool>();
  }

  void Probability(const char* key, double* out) {
    const json* v = Find(key);
    if (!v) return;
    if (!v->is_number() || v->get<double>() < 0.0 || v->get<double>() > 1.0) {
      Fail(where_, std::string(key) + " must be a number from 0 to 1");
    }
    *out = v->get<double>();
  }

  std::vector<uint8_t> Bytes(const char* key, size_t maxSize) {
    const json* v = Find(key);
    if (!v) return {};
    if (!v->is_array() || v->size() > maxSize) {
      Fail(where_, std::string(key) + " must be an array of at most " + std::to_string(maxSize) + " bytes");
    }
    std::vector<uint8_t> bytes;
    for (const json& b : *v) {
      if (!b.is_number_integer() || b.get<int64_t>() < 0 || b.get<int64_t>() > 255) {
        Fail(where_, std::string(key) + " holds a value that is not a byte");
      }
      bytes.push_back(static_cast<uint8_t>(b.get<int64_t>()));
    }
    return bytes;
  }

  void CheckUnknown() const {
    for (auto it = object_.begin(); it != object_.end(); ++it) {
      if (!seen_.count(it.key())) Fail(where_, "unknown key \"" + it.key() + "\"");
    }
  }

  const std::string& where() const { return where_; }

 private:
  const json& object_;
  std::string where_;
  std::set<std::string> seen_;
};

sim::Bytes6 SixBytes(Fields& f, const char* key, const sim::Bytes6& fallback, bool* given = nullptr) {
  if (given) *given = f.Find(key) != nullptr;
  std::vector<uint8_t> bytes = f.Bytes(key, 6);
  if (bytes.empty()) return fallback;
  sim::Bytes6 out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

void ReadFaults(const json& object, const std::string& where, sim::DeviceFaults* faults) {
  Fields f(object, where + " faults");
  f.Integer("dropAcks", &faults->dropAcks, -1, INT32_MAX);
  f.Bool("silent", &faults->silent);
  f.Integer("extraAckDelayUs", &faults->extraAckDelayUs, 0, INT64_MAX);
  f.Integer("extraReplyDelayUs", &faults->extraReplyDelayUs, 0, INT64_MAX);
  f.Integer("wrongSource", &faults->wrongSource, 0, 255);
  f.Integer("wrongSourceReplies", &faults->wrongSourceReplies, -1, INT32_MAX);
  f.Integer("corruptReplies", &faults->corruptReplies, -1, INT32_MAX);
  f.Integer("corruptIndex", &faults->corruptIndex, 0, 10);
  faults->noiseBeforeReplies = f.Bytes("noiseBeforeReplies", 64);
  f.CheckUnknown();
}

sim::DeviceSetup ReadDevice(const json& object, size_t index) {
  Fields f(object, "device " + std::to_string(index + 1));
  sim::DeviceSetup d;
  f.Integer("address", &d.config.address, 0, 127);
  if (const json* serial = f.Find("serial")) {
    const auto value = serial->is_string() ? sim::ParseSerial(serial->get<std::string>()) : std::nullopt;
    if (!value) Fail(f.where(), "serial must be a text like \"S01A2B3\"");
    d.config.serial = *value;
  }
  f.Integer("product", &d.config.product, 0, 255);
  if (const json* version = f.Find("version")) {
    std::string error;
    const auto parsed = version->is_string()
                            ? sim::ParseDeviceText("0:0:0:" + version->get<std::string>(), &error)
                            : std::nullopt;
    if (!parsed) Fail(f.where(), "version must be a text like \"2.7\"");
    d.config.versionHigh = parsed->versionHigh;
    d.config.versionLow = parsed->versionLow;
  }
  d.config.remoteError = SixBytes(f, "remoteError", {});
  f.Integer("responseCode", &d.config.responseCode, 0, 255);
  bool hasReply = false;
  const sim::Bytes6 reply = SixBytes(f, "queryReply", {}, &hasReply);
  if (hasReply) d.queryReply = reply;
  if (const json* faults = f.Find("faults")) ReadFaults(*faults, f.where(), &d.faults);
  f.CheckUnknown();
  return d;
}

sim::ScheduledEvent::Kind EventKind(Fields& f) {
  const json* kind = f.Find("kind");
  const std::string name = kind && kind->is_string() ? kind->get<std::string>() : "";
  using Kind = sim::ScheduledEvent::Kind;
  if (name == "unsolicited") return Kind::kUnsolicited;
  if (name == "linkReset") return Kind::kLinkReset;
  if (name == "noise") return Kind::kNoise;
  if (name == "unplug") return Kind::kUnplug;
  if (name == "replug") return Kind::kReplug;
  Fail(f.where(), "kind must be unsolicited, linkReset, noise, unplug or replug");
}

void ReadUnsolicited(Fields& f, sim::ScheduledEvent* e) {
  f.Integer("from", &e->from, 1, 127);
  f.Integer("to", &e->to, 0, 127);
  uint8_t type = 1;
  int count = 6;
  bool noAck = false;
  bool alternation = false;
  f.Integer("type", &type, 0, 5);
  f.Integer("count", &count, 0, 7);
  f.Bool("noAck", &noAck);
  f.Bool("alternation", &alternation);
  e->control = static_cast<uint8_t>(link::CountField(count) | type | (noAck ? link::kNoAckWanted : 0) |
                                    (alternation ? link::kAlternationBit : 0));
  f.Integer("control", &e->control, 0, 255);
  e->data = SixBytes(f, "data", {});
}

sim::ScheduledEvent ReadEvent(const json& object, size_t index) {
  Fields f(object, "event " + std::to_string(index + 1));
  sim::ScheduledEvent e;
  e.kind = EventKind(f);
  uint64_t atMs = 0;
  f.Integer("atMs", &atMs, 0, INT64_MAX / 1000);
  e.atUs = atMs * 1000;
  f.Integer("atUs", &e.atUs, 0, INT64_MAX);
  switch (e.kind) {
    case sim::ScheduledEvent::Kind::kUnsolicited:
      ReadUnsolicited(f, &e);
      break;
    case sim::ScheduledEvent::Kind::kLinkReset:
      f.Integer("from", &e.from, 1, 127);
      f.Integer("type", &e.type, 6, 7);
      f.Integer("code", &e.code, 0, 3);
      break;
    case sim::ScheduledEvent::Kind::kNoise:
      e.bytes = f.Bytes("bytes", 4096);
      f.Integer("random", &e.randomCount, 0, 4096);
      break;
    default:
      break;
  }
  f.CheckUnknown();
  return e;
}

void ReadBus(Fields& f, sim::SimSetup* setup) {
  sim::BusConfig& bus = setup->bus;
  f.Integer("protocol", &bus.protocol, 1, 2);
  f.Integer("bps", &bus.bps, 1, 4'000'000);
  f.Integer("byteSize", &bus.byteSize, 7, 8);
  f.Integer("localAddress", &bus.localAddress, 0, 255);
  f.Bool("echo", &bus.echo);
  f.Bool("pacing", &bus.pacing);
  f.Integer("turnaroundUs", &bus.turnaroundUs, 0, INT64_MAX);
  f.Bool("adapterAcks", &bus.adapterAcks);
  f.Integer("seed", &bus.seed, 0, INT64_MAX);
  f.Probability("dropProbability", &setup->lineFaults.dropProbability);
  f.Probability("corruptProbability", &setup->lineFaults.corruptProbability);
}

void ReadList(Fields& f, const char* key, const std::function<void(const json&, size_t)>& read) {
  const json* list = f.Find(key);
  if (!list) return;
  if (!list->is_array()) Fail(f.where(), std::string(key) + " must be an array");
  for (size_t i = 0; i < list->size(); ++i) read((*list)[i], i);
}

}  // namespace

bool LoadSetupJson(const std::string& text, sim::SimSetup* setup, std::string* error) {
  try {
    const json root = json::parse(text);
    sim::SimSetup merged = *setup;
    Fields f(root, "configuration");
    ReadBus(f, &merged);
    ReadList(f, "devices", [&](const json& d, size_t i) { merged.devices.push_back(ReadDevice(d, i)); });
    ReadList(f, "events", [&](const json& e, size_t i) { merged.events.push_back(ReadEvent(e, i)); });
    f.CheckUnknown();
    *setup = std::move(merged);
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace zeva::zevasim
