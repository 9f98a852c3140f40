#include "sim/bus.h"

#include <algorithm>
#include <cstdio>

namespace zeva::sim {

Bus::Bus(const BusConfig& config)
    : config_(config), boxes_(kFirstDeviceBox), rng_(config.seed), scanner_(config.protocol) {}

Bus::~Bus() = default;

Device& Bus::AddDevice(const DeviceConfig& config) {
  devices_.push_back(std::make_unique<Device>(config));
  boxes_.emplace_back();
  return *devices_.back();
}

Device* Bus::FindDevice(uint8_t address) {
  for (auto& d : devices_) {
    if (d->address() == address) return d.get();
  }
  return nullptr;
}

void Bus::CorruptNextEcho(int32_t index) { corruptEchoIndex_ = index; }
void Bus::LoseEchoByte(int32_t write, int32_t index) { loseEcho_ = {write, index}; }

// --- happenings ---------------------------------------------------------------

void Bus::InjectNoise(uint64_t atUs, std::vector<uint8_t> bytes) {
  Event e;
  e.kind = Event::Kind::kInject;
  e.box = kNoiseBox;
  e.tx = {std::move(bytes), 0, TxKind::kNoise, {}, false};
  Schedule(atUs, std::move(e));
}

void Bus::InjectRandomNoise(uint64_t atUs, size_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) b = rng_.Byte();
  InjectNoise(atUs, std::move(bytes));
}

void Bus::SendFromDevice(size_t index, uint64_t atUs, std::vector<uint8_t> bytes, TxKind kind) {
  (void)devices_.at(index);
  Event e;
  e.kind = Event::Kind::kInject;
  e.box = kFirstDeviceBox + index;
  e.tx = {std::move(bytes), 0, kind, {}, false};
  Schedule(atUs, std::move(e));
}

void Bus::SendUnsolicited(size_t index, uint64_t atUs, uint8_t destination, uint8_t control,
                          const Bytes6& data) {
  const link::DataFrame frame = device(index).BuildFrame(link(), destination, control, data);
  SendFromDevice(index, atUs, std::vector<uint8_t>(frame.begin(), frame.end()), TxKind::kUnsolicited);
}

void Bus::SendLinkReset(size_t index, uint64_t atUs, uint8_t type, uint8_t code) {
  const uint8_t control = static_cast<uint8_t>((type == 7 ? 7 : 6) | ((code & 3) << 5));
  const link::ShortFrame frame = link::EncodeShortFrame(config_.protocol, config_.localAddress,
                                                        device(index).address(), control);
  SendFromDevice(index, atUs, std::vector<uint8_t>(frame.bytes.begin(), frame.bytes.begin() + frame.size),
                 TxKind::kLinkReset);
}

void Bus::Unplug(uint64_t atUs) {
  Event e;
  e.kind = Event::Kind::kUnplug;
  Schedule(atUs, std::move(e));
}

void Bus::Replug(uint64_t atUs) {
  Event e;
  e.kind = Event::Kind::kReplug;
  Schedule(atUs, std::move(e));
}

// --- timing ---------------------------------------------------------------

int32_t Bus::Bps(bool host) const {
  return host || config_.bps == 0 ? hostConfig_.bps : config_.bps;
}

// Start bit, data bits, even parity, one stop bit.
int32_t Bus::CharBits(bool host) const {
  const uint8_t dataBits = host || config_.bps == 0 ? hostConfig_.byteSize : config_.byteSize;
  return 1 + dataBits + 1 + 1;
}

bool Bus::HostMismatch() const {
  return config_.bps != 0 &&
         (hostConfig_.bps != config_.bps || hostConfig_.byteSize != config_.byteSize);
}

uint64_t Bus::WireTimeUs(size_t n) const {
  const int32_t bps = Bps(false);
  if (!config_.pacing || bps <= 0) return 0;
  const uint64_t bits = static_cast<uint64_t>(n) * static_cast<uint64_t>(CharBits(false));
  return (bits * 1'000'000u + static_cast<uint64_t>(bps) - 1) / static_cast<uint64_t>(bps);
}

// --- the event queue --------------------------------------------------------

void Bus::Schedule(uint64_t atUs, Event event) {
  events_.emplace(std::make_pair(std::max(atUs, nowUs_), sequence_++), std::move(event));
}

void Bus::RunUntil(uint64_t nowUs) {
  const uint64_t until = std::max(nowUs, nowUs_);
  while (!events_.empty() && events_.begin()->first.first <= until) {
    auto node = events_.extract(events_.begin());
    nowUs_ = node.key().first;
    Handle(nowUs_, node.mapped());
  }
  nowUs_ = until;
}

void Bus::Handle(uint64_t atUs, Event& event) {
  switch (event.kind) {
    case Event::Kind::kTransmit:
      Transmit(event.box, atUs);
      break;
    case Event::Kind::kByte:
      OnByte(atUs, event);
      break;
    case Event::Kind::kInject:
      Enqueue(event.box, std::move(event.tx), atUs);
      break;
    case Event::Kind::kUnplug:
      unplugged_ = true;
      hangUpAt_ = atUs;
      AddEvent(atUs, "line unplugged");
      break;
    case Event::Kind::kReplug:
      unplugged_ = false;
      AddEvent(atUs, "line plugged in");
      break;
  }
}

// --- talkers ------------------------------------------------------------------

// A talker's bursts go out in order; each waits its gap after the previous
// one (or after the frame it answers) and then for a quiet wire.
void Bus::Enqueue(size_t box, Transmission tx, uint64_t atUs) {
  Outbox& out = boxes_[box];
  const uint64_t turnaroundUs = config_.turnaroundUs;
  tx.queuedBehindLate = std::any_of(out.queue.begin(), out.queue.end(), [turnaroundUs](const Transmission& q) {
    return q.gapUs > turnaroundUs || q.queuedBehindLate;
  });
  out.queue.push_back(std::move(tx));
  if (out.scheduled) return;
  out.scheduled = true;
  Event e;
  e.box = box;
  Schedule(std::max(atUs, out.busyUntil) + out.queue.front().gapUs, std::move(e));
}

void Bus::Transmit(size_t box, uint64_t atUs) {
  Outbox& out = boxes_[box];
  out.scheduled = false;
  if (out.queue.empty()) return;
  Event again;
  again.box = box;
  if (wireFreeAt_ > atUs) {
    out.scheduled = true;
    Schedule(wireFreeAt_, std::move(again));
    return;
  }
  const Transmission tx = std::move(out.queue.front());
  out.queue.pop_front();
  StartBurst(box, tx, atUs);
  if (!out.queue.empty()) {
    out.scheduled = true;
    Schedule(out.busyUntil + out.queue.front().gapUs, std::move(again));
  }
}

bool Bus::ReachesHost(size_t box, TxKind kind) const {
  if (box == kHostBox) return config_.echo;
  if (box == kAdapterBox) return false;
  return !(config_.adapterAcks && kind == TxKind::kAck);
}

Talker Bus::TalkerOf(size_t box) const {
  switch (box) {
    case kHostBox:
      return {TalkerKind::kHost, -1};
    case kAdapterBox:
      return {TalkerKind::kAdapter, -1};
    case kNoiseBox:
      return {TalkerKind::kNoise, -1};
    default:
      return {TalkerKind::kDevice, static_cast<int32_t>(box - kFirstDeviceBox)};
  }
}

void Bus::StartBurst(size_t box, const Transmission& tx, uint64_t atUs) {
  const size_t n = tx.bytes.size();
  if (n == 0) return;
  const bool host = box == kHostBox;
  // Receivers give up on a frame when the line stays idle for longer than
  // two characters: a torn frame never swallows the start of a later burst.
  if (scanner_.pending() > 0 && atUs > wireFreeAt_ + WireTimeUs(2)) {
    std::vector<ScannedFrame> torn;
    scanner_.Break(&torn);
    for (const ScannedFrame& frame : torn) AddTrace(frame);
  }
  if (onBurst) {
    const Talker talker = TalkerOf(box);
    const uint8_t address = talker.kind == TalkerKind::kDevice
                                ? devices_[static_cast<size_t>(talker.device)]->address()
                                : talker.kind == TalkerKind::kNoise ? 0 : config_.localAddress;
    onBurst({talker, address, atUs, tx.kind, &tx.bytes, &tx.answers, tx.queuedBehindLate});
  }
  size_t echoIndex = n;  // none
  if (host && corruptEchoIndex_) {
    echoIndex = *corruptEchoIndex_ < 0 ? n - 1 : std::min<size_t>(static_cast<size_t>(*corruptEchoIndex_), n - 1);
    corruptEchoIndex_.reset();
  }
  size_t lostIndex = n;  // none
  if (host && loseEcho_ && loseEcho_->first-- == 0) {
    lostIndex = std::min<size_t>(static_cast<size_t>(std::max(loseEcho_->second, 0)), n - 1);
    loseEcho_.reset();
  }
  const uint64_t bits = static_cast<uint64_t>(CharBits(host));
  const uint64_t bps = static_cast<uint64_t>(std::max(Bps(host), 1));
  uint64_t previousEnd = atUs;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t end =
        config_.pacing ? atUs + ((i + 1) * bits * 1'000'000u + bps - 1) / bps : atUs;
    Event e;
    e.kind = Event::Kind::kByte;
    e.byte = {tx.bytes[i], TalkerOf(box), previousEnd, end};
    e.toHost = ReachesHost(box, tx.kind);
    e.corruptEcho = i == echoIndex;
    e.loseEcho = i == lostIndex;
    e.lastOfBurst = i + 1 == n;
    e.burstStartUs = atUs;
    Schedule(end, std::move(e));
    previousEnd = end;
  }
  boxes_[box].busyUntil = previousEnd;
  wireFreeAt_ = std::max(wireFreeAt_, previousEnd);
}

// --- bytes on the wire ----------------------------------------------------

void Bus::OnByte(uint64_t atUs, Event& event) {
  std::vector<ScannedFrame> frames;
  LineByte byte = event.byte;
  if (rng_.Chance(lineFaults.dropProbability)) {
    ++faultCounts_.bytesDropped;
    // A byte lost on the wire is a framing error to the host's receiver,
    // and to every device's: none takes the frame it was part of.
    if (event.toHost && hostOpen_ && !unplugged_ && !lineErrorAt_) lineErrorAt_ = atUs;
    if (event.toHost && hostOpen_ && !unplugged_ && onHostByte) {
      onHostByte({atUs, byte.talker, event.burstStartUs, byte.value, false, true});
    }
    scanner_.Break(&frames);
  } else {
    bool damaged = false;
    if (rng_.Chance(lineFaults.corruptProbability)) {
      byte.value ^= rng_.NonZeroByte();
      ++faultCounts_.bytesCorrupted;
      damaged = true;
    }
    const bool fromHost = byte.talker.kind == TalkerKind::kHost;
    if (event.toHost && hostOpen_ && !unplugged_) {
      if ((!fromHost && HostMismatch()) || event.loseEcho) {
        if (!lineErrorAt_) lineErrorAt_ = atUs;
        if (onHostByte) onHostByte({atUs, byte.talker, event.burstStartUs, byte.value, false, true});
      } else {
        const uint8_t value = event.corruptEcho ? static_cast<uint8_t>(~byte.value) : byte.value;
        toHost_.emplace_back(atUs, value);
        if (onHostByte) {
          onHostByte({atUs, byte.talker, event.burstStartUs, value, damaged || event.corruptEcho, false});
        }
      }
    }
    scanner_.Push(byte, &frames);
  }
  if (event.lastOfBurst) scanner_.FlushGarbage(&frames);
  for (const ScannedFrame& frame : frames) {
    AddTrace(frame);
    if (frame.valid) HearFrame(frame);
  }
}

void Bus::HearFrame(const ScannedFrame& frame) {
  // At a foreign bit rate the devices cannot read the host.
  if (frame.talker.kind == TalkerKind::kHost && HostMismatch()) return;
  const int32_t size = static_cast<int32_t>(frame.bytes.size());
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (frame.talker.kind == TalkerKind::kDevice && frame.talker.device == static_cast<int32_t>(i)) {
      continue;  // a device does not answer itself
    }
    for (Transmission& tx : devices_[i]->OnFrame(link(), frame.bytes.data(), size, frame.endUs)) {
      if (tx.kind == TxKind::kAck && rng_.Chance(lineFaults.ackLossProbability)) {
        ++faultCounts_.acksLost;
        continue;
      }
      Enqueue(kFirstDeviceBox + i, std::move(tx), frame.endUs);
    }
  }
  if (config_.adapterAcks) AckForHost(frame);
}

void Bus::AckForHost(const ScannedFrame& frame) {
  if (frame.talker.kind != TalkerKind::kDevice || frame.bytes.size() != link::kDataFrameSize) return;
  const uint8_t destination = frame.bytes[1];
  const uint8_t control = frame.bytes[3];
  if (destination != config_.localAddress || (control & link::kNoAckWanted) == link::kNoAckWanted) return;
  const link::ShortFrame ack = link::EncodeAck(config_.protocol, frame.bytes[2], destination);
  Enqueue(kAdapterBox,
          {std::vector<uint8_t>(ack.bytes.begin(), ack.bytes.begin() + ack.size), config_.turnaroundUs,
           TxKind::kAdapterAck, frame.bytes, false},
          frame.endUs);
}

// --- trace ------------------------------------------------------------------

void Bus::AddTrace(const ScannedFrame& frame) {
  TraceEntry entry;
  entry.kind = frame.valid ? TraceEntry::Kind::kFrame : TraceEntry::Kind::kGarbage;
  entry.startUs = frame.startUs;
  entry.endUs = frame.endUs;
  entry.talker = frame.talker;
  const bool hostSide = frame.talker.kind == TalkerKind::kHost || frame.talker.kind == TalkerKind::kAdapter;
  entry.direction = hostSide ? Direction::kHostToLine : Direction::kLineToHost;
  if (hostSide) {
    entry.address = config_.localAddress;
  } else if (frame.talker.kind == TalkerKind::kDevice) {
    entry.address = frame.valid ? frame.bytes[2] : devices_[static_cast<size_t>(frame.talker.device)]->address();
  }
  entry.bytes = frame.bytes;
  if (onTrace) onTrace(entry);
  if (config_.keepTrace) trace_.push_back(std::move(entry));
}

void Bus::AddEvent(uint64_t atUs, std::string note) {
  TraceEntry entry;
  entry.kind = TraceEntry::Kind::kEvent;
  entry.startUs = entry.endUs = atUs;
  entry.note = std::move(note);
  if (onTrace) onTrace(entry);
  if (config_.keepTrace) trace_.push_back(std::move(entry));
}

// --- VirtualLine ---------------------------------------------------------------

void Bus::HostOpened(const platform::SerialConfig& config) {
  hostOpen_ = true;
  hostConfig_ = config;
  char note[64];
  std::snprintf(note, sizeof note, "host opened the port at %d bps, %u data bits", config.bps,
                static_cast<unsigned>(config.byteSize));
  AddEvent(nowUs_, note);
}

void Bus::HostClosed() {
  hostOpen_ = false;
  toHost_.clear();
  lineErrorAt_.reset();
  AddEvent(nowUs_, "host closed the port");
}

void Bus::HostWrite(const uint8_t* bytes, size_t n, uint64_t nowUs) {
  RunUntil(nowUs);
  if (n == 0) return;
  if (unplugged_) {
    AddEvent(nowUs_, "host write lost: line unplugged");
    return;
  }
  Enqueue(kHostBox, {std::vector<uint8_t>(bytes, bytes + n), 0, TxKind::kHostWrite, {}, false}, nowUs_);
}

std::optional<uint64_t> Bus::NextEventUs() {
  std::optional<uint64_t> next;
  auto consider = [&next](std::optional<uint64_t> t) {
    if (t && (!next || *t < *next)) next = t;
  };
  if (!events_.empty()) consider(events_.begin()->first.first);
  if (!toHost_.empty()) consider(toHost_.front().first);
  consider(lineErrorAt_);
  consider(hangUpAt_);
  return next;
}

void Bus::AdvanceTo(uint64_t nowUs, std::vector<uint8_t>* toHost, bool* lineError, bool* hungUp) {
  RunUntil(nowUs);
  while (!toHost_.empty() && toHost_.front().first <= nowUs_) {
    toHost->push_back(toHost_.front().second);
    toHost_.pop_front();
  }
  *lineError = lineErrorAt_.has_value();
  lineErrorAt_.reset();
  *hungUp = unplugged_;
  hangUpAt_.reset();
}

}  // namespace zeva::sim
