// The message transmitter: sends one message to one device (or to everyone)
// frame by frame, with acknowledgements, repeats, an optional response wait
// after each frame, and the pacing and progress of a program download.
#pragma once

#include <cstdint>

#include "transact/transact_state.h"

namespace zeva {

// How the frames of a message are sent.
enum TransmitMode : uint8_t {
  kModeNormal = 0,       // each frame acknowledged
  kModeUnacked = 1,      // only the first frame, no acknowledgement
  kModeAlternating = 2,  // acknowledged, bit 3 on odd frames
};

// How a transmission ended.
enum TransmitResult : int32_t {
  kTxFailed = 0,
  kTxDone = 1,
  kTxBusy = 2,  // refused: the channel was busy, nothing was sent
};

inline constexpr int32_t kSendAttempts = 5;
inline constexpr uint32_t kResponseWaitMs = 5000;
inline constexpr uint32_t kProgrammingPauseMs = 250;

// `length` bytes of `data` as a message of `type` (low 3 bits) to
// `destination` (0: every station, always unacknowledged).
struct OutgoingMessage {
  uint8_t destination = 0;
  uint8_t type = 0;
  const uint8_t* data = nullptr;
  uint16_t length = 0;
};

struct TransmitOptions {
  TransmitMode mode = kModeNormal;
  // A program download: a pause after each acknowledged frame, and the share
  // delivered reported to OnProgress before the next one.
  bool programming = false;
  // Nonzero: each acknowledged frame also waits for the device's response
  // carrying this code (in the context while the transmission runs, where
  // the dispatcher compares responses with it).
  uint8_t awaitedResponse = 0;
};

// The common last step of a transmission: clears SF_TX_ACTIVE and
// LastDestination and returns its argument.
uint8_t EndTransmission(transact::TransactState& ctx, uint8_t result);

// Every write of the station started while a transmission is under way
// (from a client callback or the automatic reply, inside the other's wait:
// a nested transmission, a raw send) hands the line back as it found it:
// the outer one's mark and destination, and, when the inner one waited for
// acknowledgements of its own, the outer one's acknowledgement state. An
// inner one that waits for none leaves the flags alone, so an
// acknowledgement of the outer frame arriving meanwhile counts. Made before
// the inner write marks anything; its end restores.
class OuterTransmission {
 public:
  explicit OuterTransmission(transact::TransactState& ctx);
  ~OuterTransmission();
  OuterTransmission(const OuterTransmission&) = delete;
  OuterTransmission& operator=(const OuterTransmission&) = delete;

  bool present() const { return present_; }
  // The inner transmission now waits for acknowledgements of its own.
  void AckExpectationTaken() { ackTaken_ = true; }

 private:
  transact::TransactState& ctx_;
  bool present_;
  uint8_t destination_;
  uint32_t ackState_;
  bool ackTaken_ = false;
};

// Sends the message frame by frame.
TransmitResult TransmitMessage(transact::TransactState& ctx, const OutgoingMessage& message,
                               const TransmitOptions& options);

// The 8-bit sum of the checksums of the frames the message makes in `mode`,
// which a device checks a download against. Nothing is written (except a
// type-6 short frame, which has no checksum). The pass is refused like a
// transmission while the channel is busy.
struct ChecksumPass {
  TransmitResult status = kTxFailed;  // kTxDone: `sum` holds the sum
  uint8_t sum = 0;
};
ChecksumPass SumFrameChecksums(transact::TransactState& ctx, const OutgoingMessage& message, TransmitMode mode);

}  // namespace zeva
