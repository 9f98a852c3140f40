#include "transact/transmitter.h"

#include <cstring>
#include <optional>

#include "core/int16.h"
#include "core/scoped_mode.h"
#include "link/frame.h"
#include "link/parser.h"
#include "runtime/bridge.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "transact/request_table.h"

namespace zeva {
namespace {

constexpr int32_t kFrameDataSize = 6;

enum class FrameOutcome { kDone, kRepeat, kFailed };

TransmitResult Ended(transact::TransactState& ctx, TransmitResult result) {
  EndTransmission(ctx, 0);
  return result;
}

// One transmission or checksum pass: the message, where it stands, and the
// areas a response wait hands to the dispatcher.
class Transmission {
 public:
  Transmission(transact::TransactState& ctx, const OutgoingMessage& message, uint8_t type,
               const TransmitOptions& options, bool checksumOnly, OuterTransmission& outer)
      : ctx_(ctx), destination_(message.destination), type_(type), data_(message.data),
        length_(message.length), checksumOnly_(checksumOnly), programming_(options.programming),
        awaitedResponse_(options.awaitedResponse), outer_(outer) {
    // Every broadcast goes unacknowledged.
    const TransmitMode mode = options.mode;
    mode_ = destination_ == 0 || (mode != kModeNormal && mode != kModeAlternating) ? kModeUnacked : mode;
  }

  TransmitResult Run() {
    // The offset is compared without wrapping, so that messages of
    // 65533..65535 bytes end instead of starting over near the beginning.
    for (uint32_t offset = 0, frameNumber = 0;; offset += kFrameDataSize, ++frameNumber) {
      if (const std::optional<TransmitResult> ended = SendFrame(offset, frameNumber)) return *ended;
      ReportProgress(offset);
      if (offset + kFrameDataSize >= length_) break;
    }
    return Ended(ctx_, kTxDone);
  }

  // The sum of the checksums of the frames formed so far.
  uint8_t checksumSum() const { return checksumSum_; }

 private:
  bool Acknowledged() const { return mode_ != kModeUnacked; }
  uint8_t Source() const { return Low8(ctx_.core.settings.localAddress); }
  int32_t Protocol() const { return ctx_.core.settings.protocol; }

  uint8_t MessageByte(uint32_t i) const { return i < length_ && data_ != nullptr ? data_[i] : 0; }

  // All attempts at one frame. Returns the transmission's result when it
  // ends here, nothing when the frame is done and the message goes on.
  std::optional<TransmitResult> SendFrame(uint32_t offset, uint32_t frameNumber) {
    for (int32_t attempt = 1;; ++attempt) {
      if (mode_ == kModeUnacked && type_ == 6) {
        if (WriteShortFrame()) return Ended(ctx_, kTxDone);
      } else {
        const link::DataFrame frame = BuildFrame(offset, frameNumber);
        if (checksumOnly_) {
          checksumSum_ = static_cast<uint8_t>(checksumSum_ + frame[10]);
          return std::nullopt;
        }
        if (!Acknowledged()) {
          // Nothing waits for this frame's acknowledgement; inside another
          // transmission, that one's expectation stays in force.
          if (!outer_.present()) ExpectAck();
          WriteDataFrame(frame);  // only the first frame; a failed write still counts as sent
          return Ended(ctx_, kTxDone);
        }
        const FrameOutcome verdict = SendAcknowledged(frame, attempt);
        if (verdict == FrameOutcome::kDone) return std::nullopt;
        if (verdict == FrameOutcome::kFailed) return Ended(ctx_, kTxFailed);
      }
      if (attempt == kSendAttempts) return Ended(ctx_, kTxFailed);
    }
  }

  link::DataFrame BuildFrame(uint32_t offset, uint32_t frameNumber) const {
    const uint32_t remaining = length_ - offset;
    const int count = remaining <= kFrameDataSize ? static_cast<int>(remaining) : kFrameDataSize;
    auto control = static_cast<uint8_t>(link::CountField(count) | type_);
    if (mode_ == kModeAlternating && frameNumber % 2 == 1) control |= link::kAlternationBit;
    if (mode_ == kModeUnacked) control |= link::kNoAckWanted;
    uint8_t bytes[kFrameDataSize];
    for (uint32_t i = 0; i < kFrameDataSize; ++i) bytes[i] = MessageByte(offset + i);
    return link::EncodeDataFrame(Protocol(), destination_, Source(), control, bytes);
  }

  // The type-6 command frame: no data, no acknowledgement awaited. True when
  // the write went out.
  bool WriteShortFrame() {
    const link::ShortFrame frame =
        link::EncodeType6ShortFrame(Protocol(), destination_, Source(), MessageByte(0));
    return WriteBytes(ctx_, frame.bytes.data(), frame.size, WaitFor::kEcho) != 0;
  }

  // The parser takes an acknowledgement from this destination for this frame.
  void ExpectAck() {
    outer_.AckExpectationTaken();
    ctx_.core.flags.Clear(SF_ACK_RECEIVED);
    ctx_.core.flags.Set(SF_ACK_PENDING);
    ctx_.lastDestination = destination_;
  }

  void WriteDataFrame(const link::DataFrame& frame) {
    WriteBytes(ctx_, frame.data(), link::kDataFrameSize, Acknowledged() ? WaitFor::kAck : WaitFor::kEcho);
  }

  FrameOutcome SendAcknowledged(const link::DataFrame& frame, int32_t attempt) {
    ExpectAck();
    if (awaitedResponse_ == 0) {
      WriteDataFrame(frame);
      return OutcomeAfterWrite(false, attempt);
    }
    // The reply the device is to send after acknowledging the frame.
    ArmResponseWait();
    ScopedRequest response(*ctx_.requests);
    if (!response.Push(RQ_REPLY, destination_, responseHeader_, responseData_)) {
      PostDriverError(ctx_, kErrTooManyRequests);
      return FrameOutcome::kFailed;
    }
    WriteDataFrame(frame);
    return OutcomeAfterWrite(true, attempt);
  }

  void ArmResponseWait() {
    ctx_.core.flags.Set(SF_RESPONSE_WAIT);
    ctx_.core.flags.Clear(SF_RESPONSE_MATCHED);
    std::memset(responseHeader_, 0, sizeof responseHeader_);
    std::memset(responseData_, 0, sizeof responseData_);
  }

  // WriteBytes has already waited for the acknowledgement; an adapter that
  // handles acknowledgements itself makes every frame count as delivered.
  FrameOutcome OutcomeAfterWrite(bool responseWait, int32_t attempt) {
    if (ctx_.core.settings.adapterId != 0) return FrameOutcome::kDone;
    if (ctx_.core.flags.AllSet(SF_ACK_RECEIVED)) {
      if (responseWait) return ResponseArrived() ? FrameOutcome::kDone : FrameOutcome::kFailed;
      if (programming_) WaitForFlags(ctx_, kProgrammingPauseMs, 0);
      return FrameOutcome::kDone;
    }
    // The random part keeps two stations that collided from repeating in step.
    const uint32_t r = (ctx_.core.platform.Rand() & 0x10) != 0 ? 16u : 0u;
    const uint32_t packetTimeout = PacketTimeoutMs(ctx_);
    WaitForFlags(ctx_, (packetTimeout + r) * static_cast<uint32_t>(attempt), 0);
    return FrameOutcome::kRepeat;
  }

  bool ResponseArrived() {
    if (WaitForFlags(ctx_, kResponseWaitMs, SF_RESPONSE_MATCHED) != 0) return false;
    link::FrameHeader header;
    std::memcpy(&header, responseHeader_, sizeof header);
    return header.source == destination_ && responseData_[5] == awaitedResponse_;
  }

  // The share of the program already delivered; an empty message reports 0.
  void ReportProgress(uint32_t offset) {
    if (!programming_) return;
    const int32_t percent = length_ == 0 ? 0 : static_cast<int32_t>(offset * 100 / length_);
    Notify(ctx_, &ClientCallbacks::onProgress, percent, "");
  }

  transact::TransactState& ctx_;
  uint8_t destination_;
  uint8_t type_;
  const uint8_t* data_;
  uint32_t length_;
  uint8_t mode_;
  bool checksumOnly_;
  bool programming_;
  uint8_t awaitedResponse_;
  OuterTransmission& outer_;  // the transmission this one runs inside, if any
  uint8_t checksumSum_ = 0;
  uint8_t responseHeader_[sizeof(link::FrameHeader)] = {};
  uint8_t responseData_[kFrameDataSize] = {};
};

// What a transmission and a checksum pass share: the refusals, and the
// frames in the transmission's marks.
TransmitResult Transmit(transact::TransactState& ctx, const OutgoingMessage& message, const TransmitOptions& options,
                        bool checksumOnly, uint8_t* sum) {
  // The dispatcher compares responses with the awaited code while this one
  // runs. One that awaits none leaves the code alone: started inside a
  // transmission's response wait (the automatic reply), it must not change
  // what that wait accepts.
  std::optional<ScopedMode<uint8_t>> awaited;
  if (options.awaitedResponse != 0) awaited.emplace(ctx.awaitedResponseCode, options.awaitedResponse);
  // A transmission waiting for its echo keeps its marks: no EndTransmission.
  if (ctx.core.flags.AllSet(SF_TX_ACTIVE | SF_ECHO_PENDING)) return kTxBusy;
  OuterTransmission outer(ctx);
  const auto type = static_cast<uint8_t>(message.type & link::kTypeMask);
  // The first byte of an empty message counts as 0, like every byte past the end.
  const uint8_t first = message.length > 0 && message.data != nullptr ? message.data[0] : 0;
  if (type == 6 && first == 0) return Ended(ctx, kTxFailed);
  if (ctx.receiveLoop != ReceiveLoop::kIdle) return Ended(ctx, kTxBusy);
  ctx.core.flags.Set(SF_TX_ACTIVE);
  // Its writes, their echoes, the acknowledgement and the response: one
  // watch over the line for all of them.
  std::optional<ReaderWatch> watch;
  if (!checksumOnly) watch.emplace(ctx);
  Transmission transmission(ctx, message, type, options, checksumOnly, outer);
  const TransmitResult result = transmission.Run();
  *sum = result == kTxDone ? transmission.checksumSum() : 0;
  return result;
}

}  // namespace

OuterTransmission::OuterTransmission(transact::TransactState& ctx)
    : ctx_(ctx),
      present_(ctx.core.flags.AllSet(SF_TX_ACTIVE)),
      destination_(ctx.lastDestination),
      ackState_(ctx.core.flags.word & (SF_ACK_PENDING | SF_ACK_RECEIVED)) {}

OuterTransmission::~OuterTransmission() {
  if (!present_) return;
  ctx_.core.flags.Set(SF_TX_ACTIVE);
  if (ackTaken_) {
    ctx_.core.flags.Clear(SF_ACK_PENDING | SF_ACK_RECEIVED);
    ctx_.core.flags.Set(ackState_);
  }
  ctx_.lastDestination = destination_;
}

uint8_t EndTransmission(transact::TransactState& ctx, uint8_t result) {
  ctx.core.flags.Clear(SF_TX_ACTIVE);
  ctx.lastDestination = 0;
  return result;
}

TransmitResult TransmitMessage(transact::TransactState& ctx, const OutgoingMessage& message,
                               const TransmitOptions& options) {
  uint8_t sum = 0;
  return Transmit(ctx, message, options, false, &sum);
}

ChecksumPass SumFrameChecksums(transact::TransactState& ctx, const OutgoingMessage& message, TransmitMode mode) {
  ChecksumPass pass;
  TransmitOptions options;
  options.mode = mode;
  pass.status = Transmit(ctx, message, options, true, &pass.sum);
  return pass;
}

}  // namespace zeva
