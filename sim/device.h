// A simulated ZEVA device: what it answers, what it obeys, and what it keeps
// of everything it received so that tests can compare byte for byte.
//
// A Device does no timing and no I/O. The bus hands it every valid frame it
// hears and puts the device's answers on the line, each after its gap.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "link/frame.h"

namespace zeva::sim {

// What every device on one bus shares: the checksum variant, the host's
// station address and the pause before an answer.
struct LinkSettings {
  int32_t protocol = 2;
  uint8_t localAddress = 1;
  uint64_t turnaroundUs = 1000;
};

using Bytes6 = std::array<uint8_t, 6>;

// Codes carried in data byte 5 of a type-1 frame.
inline constexpr uint8_t kCodeRemoteError = 5;
inline constexpr uint8_t kCodeIdentify = 250;
inline constexpr uint8_t kCodeAssignAddress = 251;
inline constexpr uint8_t kCodeClearError = 252;
inline constexpr uint8_t kCodeCommitProgram = 253;
inline constexpr uint8_t kCodeRebootStop = 254;
inline constexpr uint8_t kStopMarker = 0x37;  // data byte 0 of a stop
inline constexpr uint8_t kProgramResponseCode = 244;
// The error code a device records when a downloaded program fails its checks.
inline constexpr uint8_t kReprogramErrorCode = 8;

// Replies, responses and unsolicited frames go out as type-1 data frames
// with six data bytes, asking for an acknowledgement.
inline constexpr uint8_t kReplyControl = 0xC1;

enum class TxKind : uint8_t { kAck, kReply, kResponse, kUnsolicited, kLinkReset, kNoise, kAdapterAck, kHostWrite };

// One burst a talker puts on the line. It starts `gapUs` after the frame it
// answers ended, or after the talker's previous burst left the wire.
struct Transmission {
  std::vector<uint8_t> bytes;
  uint64_t gapUs = 0;
  TxKind kind = TxKind::kReply;
  // Acknowledgements, replies and responses: the frame they answer, as the
  // device heard it. An acknowledgement names no frame on the wire; this
  // lets a test tell which frame one was sent for.
  std::vector<uint8_t> answers;
  // Set by the bus: when this burst was queued, the talker still had an
  // earlier burst waiting that it had delayed on purpose (a late reply), or
  // one that itself waited behind such a burst; so this one goes out late
  // by the talker's own doing.
  bool queuedBehindLate = false;
};

struct DeviceConfig {
  uint8_t address = 0;  // 1..127; 0: no address yet, obeys broadcasts only
  uint32_t serial = 0;  // 24 bits
  uint8_t product = 0;
  uint8_t versionHigh = 0;
  uint8_t versionLow = 0;
  Bytes6 remoteError{};  // the stored RemoteErrorRecord
  // Nonzero: every acknowledged data frame that is neither a command, an
  // identification or remote-error request nor a program body frame is
  // answered by a frame whose data byte 5 is this code (the frame's data
  // bytes 0-4 come back in bytes 0-4).
  uint8_t responseCode = 0;
};

// Per-device faults. Counters count down as they strike; a negative count
// strikes forever.
struct DeviceFaults {
  int32_t dropAcks = 0;  // acknowledgements lost; the frame itself is taken
  bool silent = false;   // hears and records everything, sends nothing
  uint64_t extraAckDelayUs = 0;
  uint64_t extraReplyDelayUs = 0;  // replies and response messages
  int32_t wrongSourceReplies = 0;  // replies sent from `wrongSource`
  uint8_t wrongSource = 0;
  int32_t corruptReplies = 0;  // replies with byte `corruptIndex` inverted
  int32_t corruptIndex = 10;   // default: the checksum byte
  std::vector<uint8_t> noiseBeforeReplies;  // sent just before each reply
};

enum class RunState : uint8_t { kRunning, kStopped };

enum class Command : uint8_t {
  kIdentify,
  kRemoteError,
  kQuery,
  kReboot,
  kStop,
  kClearError,
  kAssignAddress,
  kCommitProgram,
  kResetComm,
};

struct CommandRecord {
  uint64_t timeUs = 0;
  Command command = Command::kQuery;
  uint8_t source = 0;
  uint8_t destination = 0;
  Bytes6 data{};       // the frame's data bytes (reset: byte 0 = the code)
  bool obeyed = true;  // false: heard but refused (wrong serial, bad address, ...)
};

// A valid frame heard on the line that concerns the device.
struct HeardFrame {
  uint64_t timeUs = 0;
  std::vector<uint8_t> bytes;
};

struct AckRecord {
  uint64_t timeUs = 0;
  uint8_t source = 0;
};

enum class ProgramStatus : uint8_t {
  kNone,
  kReceiving,
  kOk,
  kLengthMismatch,    // more bytes arrived than announced
  kChecksumMismatch,  // the checksum bytes of the body do not add up
  kIncomplete,        // rebooted or stopped before the last byte
};

struct ProgramReceipt {
  ProgramStatus status = ProgramStatus::kNone;
  uint16_t announcedLength = 0;
  uint8_t announcedChecksum = 0;
  uint8_t source = 0;          // the station that committed the program
  std::vector<uint8_t> bytes;  // program memory as received
  uint8_t checksumSum = 0;     // low 8 bits of the sum of the body frames' checksums
  int32_t framesStored = 0;
  int32_t repeatsIgnored = 0;  // frames that came again after a lost acknowledgement
  link::DataFrame lastFrame{};
};

class Device {
 public:
  using QueryHandler = std::function<Bytes6(const Bytes6& request)>;

  explicit Device(const DeviceConfig& config);

  // The default query answer: the request's bytes 0-4 inverted, then its
  // byte 5 (the type byte) unchanged.
  static Bytes6 DefaultQueryReply(const Bytes6& request);
  // The six bytes the device answers an identification with.
  Bytes6 Identity() const;

  // A valid frame heard on the line at `timeUs` (when its last byte ended),
  // sent by someone else. Returns what the device sends in return, in order.
  std::vector<Transmission> OnFrame(const LinkSettings& link, const uint8_t* frame, int32_t size,
                                    uint64_t timeUs);

  // A data frame from this device, built with the codec; the source is the
  // device's current address.
  link::DataFrame BuildFrame(const LinkSettings& link, uint8_t destination, uint8_t control,
                             const Bytes6& data) const;

  uint8_t address() const { return config_.address; }
  const DeviceConfig& config() const { return config_; }
  void set_address(uint8_t address) { config_.address = address; }
  void set_remote_error(const Bytes6& record) { config_.remoteError = record; }
  void set_response_code(uint8_t code) { config_.responseCode = code; }
  RunState run_state() const { return runState_; }
  int32_t reboots() const { return reboots_; }

  const std::vector<HeardFrame>& heard() const { return heard_; }
  const std::vector<CommandRecord>& commands() const { return commands_; }
  const std::vector<AckRecord>& acks_received() const { return acksReceived_; }
  const ProgramReceipt& program() const { return program_; }
  // Forgets heard(), commands() and acks_received(), so that a long run
  // compares each exchange with what was kept since it began.
  void ClearRecords();
  int32_t acks_sent() const { return acksSent_; }
  int32_t acks_dropped() const { return acksDropped_; }

  DeviceFaults faults;
  QueryHandler queryHandler;  // empty: DefaultQueryReply

 private:
  struct Incoming;

  bool IsForMe(uint8_t destination) const;
  void OnShortFrame(const uint8_t* frame, uint64_t timeUs);
  void QueueAck(const LinkSettings& link, const Incoming& in, std::vector<Transmission>* out);
  void QueueReply(const LinkSettings& link, const Incoming& in, const Bytes6& data,
                  TxKind kind, std::vector<Transmission>* out);
  bool TakeBodyFrame(const LinkSettings& link, const Incoming& in, std::vector<Transmission>* out);
  bool IsRepeatedBodyFrame(const Incoming& in) const;
  void StoreBodyFrame(const Incoming& in);
  void FinishProgram();
  void AbandonProgram();
  void OnRequest(const LinkSettings& link, const Incoming& in, std::vector<Transmission>* out);
  bool OnCommand(const Incoming& in);
  void Record(const Incoming& in, Command command, bool obeyed);

  DeviceConfig config_;
  RunState runState_ = RunState::kRunning;
  int32_t reboots_ = 0;
  std::vector<HeardFrame> heard_;
  std::vector<CommandRecord> commands_;
  std::vector<AckRecord> acksReceived_;
  ProgramReceipt program_;
  int32_t acksSent_ = 0;
  int32_t acksDropped_ = 0;
};

}  // namespace zeva::sim
