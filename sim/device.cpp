#include "sim/device.h"

#include <algorithm>
#include <cstring>

namespace zeva::sim {

// A received data frame, taken apart once.
struct Device::Incoming {
  link::DataFrame bytes{};
  uint64_t timeUs = 0;
  uint8_t destination = 0;
  uint8_t source = 0;
  uint8_t control = 0;
  Bytes6 data{};
  bool wantsAck = false;

  uint8_t type() const { return link::ControlType(control); }
  uint8_t code() const { return data[5]; }
};

namespace {

// Counts one strike of a fault counter; negative counters never run out.
bool Strike(int32_t* counter) {
  if (*counter == 0) return false;
  if (*counter > 0) --*counter;
  return true;
}

}  // namespace

Device::Device(const DeviceConfig& config) : config_(config) { config_.serial &= 0xFFFFFF; }

Bytes6 Device::DefaultQueryReply(const Bytes6& request) {
  Bytes6 reply{};
  for (size_t i = 0; i < 5; ++i) reply[i] = static_cast<uint8_t>(~request[i]);
  reply[5] = request[5];
  return reply;
}

Bytes6 Device::Identity() const {
  return {static_cast<uint8_t>(config_.serial >> 16), static_cast<uint8_t>(config_.serial >> 8),
          static_cast<uint8_t>(config_.serial), config_.product, config_.versionHigh,
          config_.versionLow};
}

link::DataFrame Device::BuildFrame(const LinkSettings& link, uint8_t destination, uint8_t control,
                                   const Bytes6& data) const {
  return link::EncodeDataFrame(link.protocol, destination, config_.address, control, data.data());
}

std::vector<Transmission> Device::OnFrame(const LinkSettings& link, const uint8_t* frame,
                                          int32_t size, uint64_t timeUs) {
  std::vector<Transmission> out;
  if (size != link::kDataFrameSize) {
    OnShortFrame(frame, timeUs);
    return out;
  }
  Incoming in;
  std::memcpy(in.bytes.data(), frame, in.bytes.size());
  in.timeUs = timeUs;
  in.destination = frame[1];
  in.source = frame[2];
  in.control = frame[3];
  std::memcpy(in.data.data(), frame + 4, in.data.size());
  // Broadcasts are never acknowledged, and neither is a frame that says so.
  in.wantsAck = in.destination != 0 && (in.control & link::kNoAckWanted) != link::kNoAckWanted;

  if (!IsForMe(in.destination)) return out;
  heard_.push_back({timeUs, std::vector<uint8_t>(frame, frame + size)});

  if (in.wantsAck) QueueAck(link, in, &out);
  if (TakeBodyFrame(link, in, &out)) return out;
  if (in.type() == 1 && OnCommand(in)) return out;
  OnRequest(link, in, &out);
  return out;
}

// Broadcasts, and frames to its address once it has one.
bool Device::IsForMe(uint8_t destination) const {
  return destination == 0 || (config_.address != 0 && destination == config_.address);
}

void Device::OnShortFrame(const uint8_t* frame, uint64_t timeUs) {
  const uint8_t destination = frame[1];
  const uint8_t control = frame[3];
  const uint8_t c5 = link::Control5(control);
  if (!IsForMe(destination)) return;
  if ((c5 & 0x18) == link::kAckBit) {
    if (destination != 0) acksReceived_.push_back({timeUs, frame[2]});
    return;
  }
  if (link::ControlType(control) != 6) return;
  // Resetting communication forgets which alternation bit came last, so the
  // next body frame is never mistaken for a repeat.
  program_.lastFrame = {};
  CommandRecord record;
  record.timeUs = timeUs;
  record.command = Command::kResetComm;
  record.source = frame[2];
  record.destination = destination;
  record.data[0] = link::ShortFrameCode(control);
  commands_.push_back(record);
}

void Device::QueueAck(const LinkSettings& link, const Incoming& in, std::vector<Transmission>* out) {
  if (faults.silent) return;
  if (Strike(&faults.dropAcks)) {
    ++acksDropped_;
    return;
  }
  const link::ShortFrame ack = link::EncodeAck(link.protocol, in.source, in.destination);
  Transmission t;
  t.bytes.assign(ack.bytes.begin(), ack.bytes.begin() + ack.size);
  t.gapUs = link.turnaroundUs + faults.extraAckDelayUs;
  t.kind = TxKind::kAck;
  t.answers.assign(in.bytes.begin(), in.bytes.end());
  out->push_back(std::move(t));
  ++acksSent_;
}

void Device::QueueReply(const LinkSettings& link, const Incoming& in, const Bytes6& data,
                        TxKind kind, std::vector<Transmission>* out) {
  if (faults.silent || config_.address == 0) return;
  const uint8_t source = Strike(&faults.wrongSourceReplies) ? faults.wrongSource : config_.address;
  link::DataFrame frame =
      link::EncodeDataFrame(link.protocol, in.source, source, kReplyControl, data.data());
  if (Strike(&faults.corruptReplies)) {
    const size_t index = static_cast<size_t>(std::clamp<int32_t>(faults.corruptIndex, 0, 10));
    frame[index] = static_cast<uint8_t>(~frame[index]);
  }
  const uint64_t gap = link.turnaroundUs + faults.extraReplyDelayUs;
  if (!faults.noiseBeforeReplies.empty()) {
    out->push_back({faults.noiseBeforeReplies, gap, TxKind::kNoise, {}, false});
  }
  Transmission t;
  t.bytes.assign(frame.begin(), frame.end());
  t.gapUs = faults.noiseBeforeReplies.empty() ? gap : 0;
  t.kind = kind;
  t.answers.assign(in.bytes.begin(), in.bytes.end());
  out->push_back(std::move(t));
}

// A program body frame is an acknowledged type-2 frame to this device from
// the station that committed the program. Returns false for any other frame.
bool Device::TakeBodyFrame(const LinkSettings& link, const Incoming& in,
                           std::vector<Transmission>* out) {
  if (program_.status == ProgramStatus::kNone || in.type() != 2 || !in.wantsAck ||
      in.source != program_.source) {
    return false;
  }
  if (IsRepeatedBodyFrame(in)) {
    ++program_.repeatsIgnored;
  } else if (program_.status == ProgramStatus::kReceiving) {
    StoreBodyFrame(in);
  } else {
    return false;
  }
  if (config_.versionHigh != 0) {
    QueueReply(link, in, {0, 0, 0, 0, 0, kProgramResponseCode}, TxKind::kResponse, out);
  }
  return true;
}

// Only a device with version high number above 0 takes its body in
// alternating mode; there a frame that carries the same alternation bit and
// bytes as the last one stored is the host repeating it after a lost
// acknowledgement. In normal mode a repeat cannot be told from new data.
bool Device::IsRepeatedBodyFrame(const Incoming& in) const {
  if (config_.versionHigh == 0 || program_.framesStored == 0) return false;
  return in.bytes == program_.lastFrame;
}

void Device::StoreBodyFrame(const Incoming& in) {
  const size_t count = std::min<size_t>(link::ControlCount(in.control), in.data.size());
  program_.bytes.insert(program_.bytes.end(), in.data.begin(), in.data.begin() + count);
  program_.checksumSum = static_cast<uint8_t>(program_.checksumSum + in.bytes[10]);
  program_.lastFrame = in.bytes;
  ++program_.framesStored;
  if (program_.bytes.size() >= program_.announcedLength) FinishProgram();
}

void Device::FinishProgram() {
  if (program_.bytes.size() != program_.announcedLength) {
    program_.status = ProgramStatus::kLengthMismatch;
  } else if (program_.checksumSum != program_.announcedChecksum) {
    program_.status = ProgramStatus::kChecksumMismatch;
  } else {
    program_.status = ProgramStatus::kOk;
    return;
  }
  config_.remoteError = {0, 0, 0, 0, 0, kReprogramErrorCode};
}

void Device::AbandonProgram() {
  if (program_.status == ProgramStatus::kReceiving) {
    program_.status = ProgramStatus::kIncomplete;
    config_.remoteError = {0, 0, 0, 0, 0, kReprogramErrorCode};
  }
}

// The commands that are answered only by the acknowledgement. Returns false
// when the code is not one of them.
bool Device::OnCommand(const Incoming& in) {
  switch (in.code()) {
    case kCodeRebootStop:
      AbandonProgram();
      if (in.data[0] == kStopMarker) {
        runState_ = RunState::kStopped;
        Record(in, Command::kStop, true);
      } else {
        runState_ = RunState::kRunning;
        ++reboots_;
        Record(in, Command::kReboot, true);
      }
      return true;
    case kCodeClearError:
      config_.remoteError = {};
      Record(in, Command::kClearError, true);
      return true;
    case kCodeAssignAddress: {
      const bool mine = in.data[0] == static_cast<uint8_t>(config_.serial >> 16) &&
                        in.data[1] == static_cast<uint8_t>(config_.serial >> 8) &&
                        in.data[2] == static_cast<uint8_t>(config_.serial);
      // An address of 0 or above 127 could never be reached again.
      const bool usable = in.data[4] >= 1 && in.data[4] <= 127;
      if (mine && usable) config_.address = in.data[4];
      Record(in, Command::kAssignAddress, mine && usable);
      return true;
    }
    case kCodeCommitProgram: {
      const bool addressed = in.destination != 0;
      if (addressed) {
        program_ = ProgramReceipt{};
        program_.status = ProgramStatus::kReceiving;
        program_.announcedLength = static_cast<uint16_t>(in.data[0] | (in.data[1] << 8));
        program_.announcedChecksum = in.data[2];
        program_.source = in.source;
      }
      Record(in, Command::kCommitProgram, addressed);
      return true;
    }
    default:
      return false;
  }
}

// Requests answered by a data frame: identification, remote error, queries,
// and the response code of a device that has one.
void Device::OnRequest(const LinkSettings& link, const Incoming& in, std::vector<Transmission>* out) {
  // Only the host asks. A data frame from another device is acknowledged
  // and no more: answering it would have that device answer the answer,
  // and the two would talk to each other for ever.
  if (in.source != link.localAddress) return;
  if (in.type() == 1 && in.code() == kCodeIdentify) {
    Record(in, Command::kIdentify, true);
    QueueReply(link, in, Identity(), TxKind::kReply, out);
  } else if (in.type() == 1 && in.code() == kCodeRemoteError) {
    Record(in, Command::kRemoteError, true);
    QueueReply(link, in, config_.remoteError, TxKind::kReply, out);
  } else if (config_.responseCode != 0) {
    if (!in.wantsAck) return;
    Bytes6 response = in.data;
    response[5] = config_.responseCode;
    QueueReply(link, in, response, TxKind::kResponse, out);
  } else if (in.type() == 1) {
    Record(in, Command::kQuery, true);
    QueueReply(link, in, queryHandler ? queryHandler(in.data) : DefaultQueryReply(in.data),
               TxKind::kReply, out);
  }
}

void Device::ClearRecords() {
  heard_.clear();
  commands_.clear();
  acksReceived_.clear();
}

void Device::Record(const Incoming& in, Command command, bool obeyed) {
  CommandRecord record;
  record.timeUs = in.timeUs;
  record.command = command;
  record.source = in.source;
  record.destination = in.destination;
  record.data = in.data;
  record.obeyed = obeyed;
  commands_.push_back(record);
}

}  // namespace zeva::sim
