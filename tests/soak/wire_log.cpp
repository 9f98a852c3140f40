#include "soak/wire_log.h"

#include <algorithm>
#include <cstdio>

#include "link/frame.h"

namespace zeva::soak {
namespace {

bool SameData(const Bytes& frame, const uint8_t* data) {
  const Bytes delivered = DeliveredData(frame);
  return std::equal(data, data + 6, delivered.begin());
}

}  // namespace

Bytes DeliveredData(const Bytes& frame) {
  const uint8_t count = link::ControlCount(frame[3]);
  Bytes data(6, 0);
  for (size_t i = 0; i < 6; ++i) data[i] = i <= count ? frame[4 + i] : 0;
  return data;
}

WireLog::~WireLog() {
  bus_.onBurst = nullptr;
  bus_.onTrace = nullptr;
  bus_.onHostByte = nullptr;
}

WireLog::WireLog(sim::Bus& bus)
    : bus_(bus), hostAddress_(bus.config().localAddress), protocol_(bus.config().protocol) {
  bus.onBurst = [this](const sim::Burst& burst) {
    const Bytes& bytes = *burst.bytes;
    if (burst.talker.kind == sim::TalkerKind::kHost) {
      hostBursts_.push_back({burst.startUs, bytes});
    } else if (burst.talker.kind == sim::TalkerKind::kDevice && bytes.size() == link::kDataFrameSize) {
      deviceFrames_.push_back({burst.startUs, bytes});
    } else if (burst.kind == sim::TxKind::kAck && burst.answers != nullptr) {
      deviceAcks_.push_back({burst.startUs, burst.talker.device, bytes.size(), burst.queuedBehindLate});
    }
  };
  bus.onTrace = [this](const sim::TraceEntry& entry) {
    trace_.push_back(entry);
    // Bytes still on their way when the port closed never reach the
    // station: whatever follows is a new stream.
    if (entry.kind == sim::TraceEntry::Kind::kEvent && entry.note == "host closed the port") {
      sim::HostByte gap;
      gap.atUs = entry.startUs;
      gap.lost = true;
      received_.push_back(gap);
    }
  };
  bus.onHostByte = [this](const sim::HostByte& byte) { received_.push_back(byte); };
}

void WireLog::BeginExchange(uint64_t nowUs) {
  hostBursts_.clear();
  trace_.clear();
  auto old = [nowUs](uint64_t atUs) { return atUs + kWindowUs < nowUs; };
  while (!deviceFrames_.empty() && old(deviceFrames_.front().atUs)) deviceFrames_.pop_front();
  while (!deviceAcks_.empty() && old(deviceAcks_.front().atUs)) deviceAcks_.pop_front();
  while (!received_.empty() && old(received_.front().atUs)) received_.pop_front();
}

template <typename Accept, typename OnRun>
void WireLog::ForEachLineMadeRun(size_t n, Accept&& accept, OnRun&& onRun) const {
  // A lost byte is no byte to the receiver: a run goes on across it.
  std::vector<size_t> at;  // positions in received_ of the bytes that arrived
  at.reserve(received_.size());
  for (size_t i = 0; i < received_.size(); ++i) {
    if (!received_[i].lost) at.push_back(i);
  }
  for (size_t k = 0; k + n <= at.size(); ++k) {
    const sim::HostByte& first = received_[at[k]];
    if (first.value != link::kStartByte) continue;
    Bytes bytes(n);
    bool damaged = false;
    bool oneBurst = at[k + n - 1] - at[k] == n - 1;  // no lost byte inside
    for (size_t j = 0; j < n; ++j) {
      const sim::HostByte& b = received_[at[k + j]];
      bytes[j] = b.value;
      damaged = damaged || b.damaged;
      oneBurst = oneBurst && b.talker == first.talker && b.burstStartUs == first.burstStartUs;
    }
    if (oneBurst && !damaged) continue;  // as its talker sent it
    const Origin origin = oneBurst ? Origin::kCheckPassedOnDamage : Origin::kCheckPassedOnJoin;
    if (!accept(bytes, first.atUs)) continue;
    std::string how;
    for (size_t q = at[k]; q <= at[k + n - 1]; ++q) {
      const sim::HostByte& b = received_[q];
      char part[64];
      std::snprintf(part, sizeof part, "%s%02X%s@%llu ", b.talker.kind == sim::TalkerKind::kHost ? "h" : "d", b.value,
                    b.lost ? "(lost)" : b.damaged ? "(damaged)" : "", static_cast<unsigned long long>(b.burstStartUs));
      how += part;
    }
    onRun(bytes, origin, how);
  }
}

std::vector<Candidate> WireLog::CandidatesFrom(uint8_t source, bool withLineMade) const {
  std::vector<Candidate> out;
  for (const SentFrame& f : deviceFrames_) {
    if (source == 0 || f.bytes[2] == source) out.push_back({f.bytes, Origin::kSent, {}});
  }
  if (!withLineMade) return out;
  ForEachLineMadeRun(
      static_cast<size_t>(link::kDataFrameSize),
      [&](const Bytes& bytes, uint64_t) {
        return link::DataFrameValid(protocol_, bytes.data()) && (source == 0 || bytes[2] == source);
      },
      [&](const Bytes& bytes, Origin origin, const std::string& how) { out.push_back({bytes, origin, how}); });
  return out;
}

Origin WireLog::OriginOf(uint8_t source, const uint8_t* data) const {
  for (const bool withLineMade : {false, true}) {
    for (const Candidate& c : CandidatesFrom(source, withLineMade)) {
      if (SameData(c.bytes, data)) return c.origin;
    }
  }
  return Origin::kNowhere;
}

bool WireLog::ReachedIntact(int32_t device, uint64_t burstStartUs, size_t size) const {
  size_t got = 0;
  for (const sim::HostByte& b : received_) {
    if (b.talker.kind != sim::TalkerKind::kDevice || b.talker.device != device || b.burstStartUs != burstStartUs) {
      continue;
    }
    if (b.lost || b.damaged) return false;
    ++got;
  }
  return got == size;
}

bool WireLog::AckOfAnotherFrameArrived(const sim::Device& device, uint64_t sinceUs) const {
  int32_t index = -1;
  for (size_t i = 0; i < bus_.device_count(); ++i) {
    if (&bus_.device(i) == &device) index = static_cast<int32_t>(i);
  }
  for (const AckBurst& a : deviceAcks_) {
    if (a.device == index && a.queuedBehindLate && a.atUs >= sinceUs && ReachedIntact(a.device, a.atUs, a.size)) {
      return true;
    }
  }
  return false;
}

bool WireLog::DamagedAckArrived(uint8_t source, uint64_t sinceUs) const {
  bool found = false;
  ForEachLineMadeRun(
      static_cast<size_t>(link::ShortFrameSize(protocol_)),
      [&](const Bytes& bytes, uint64_t atUs) {
        return atUs >= sinceUs && link::ShortFrameValid(protocol_, bytes.data()) &&
               (link::Control5(bytes[3]) & link::kAckBit) != 0 && bytes[2] == source;
      },
      [&found](const Bytes&, Origin, const std::string&) { found = true; });
  return found;
}

bool WireLog::HeardDamaged(const sim::Device& device, int type) const {
  for (const sim::HeardFrame& h : device.heard()) {
    const bool fromHost = h.bytes.size() > 3 && h.bytes[2] == hostAddress_;
    const bool ofType = type < 0 || (h.bytes.size() > 3 && link::ControlType(h.bytes[3]) == type);
    if (fromHost && ofType && HostSent(h.bytes) == 0) return true;
  }
  return false;
}

size_t WireLog::HostSent(const Bytes& frame) const {
  return static_cast<size_t>(std::count_if(hostBursts_.begin(), hostBursts_.end(),
                                           [&frame](const SentFrame& b) { return b.bytes == frame; }));
}

size_t WireLog::DeviceFramesTo(uint8_t station) const {
  return static_cast<size_t>(std::count_if(trace_.begin(), trace_.end(), [station](const sim::TraceEntry& e) {
    return e.kind == sim::TraceEntry::Kind::kFrame && e.talker.kind == sim::TalkerKind::kDevice &&
           e.bytes.size() == link::kDataFrameSize && e.bytes[1] == station;
  }));
}

}  // namespace zeva::soak
