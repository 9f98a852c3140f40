#include "link/parser.h"

#include <algorithm>

#include "link/frame.h"

namespace zeva::link {

namespace {

// Outcomes of judging the frame that starts at a position, besides its end.
constexpr int32_t kWait = 0;      // the frame runs past the bytes at hand
constexpr int32_t kInvalid = -1;  // it fails its check: search on

// One call of ParseFrame: a position walking through the bytes, the steps
// named as the link protocol names them.
//
// Raw-send positioning. Raw bytes need not begin with a start byte, so while
// a raw write waits for its echo the echo is not found by the start search:
// it is located from where the accumulator ended when the write was made
// (the tracker's start), at the first byte equal to the echo's first byte, or at the
// byte before one equal to the echo's second byte (a corrupted first byte).
// Frames that lie wholly before that position arrived before the write and
// are parsed as usual; bytes there that do not complete a frame are dropped
// with the echo, since the echo follows them on the line. The echo is then
// compared at the located position, so its own bytes are never taken for a
// frame, and what follows it (the device's acknowledgement) is parsed
// normally.
class FrameWalk {
 public:
  FrameWalk(ParserState& state, const uint8_t* bytes, int32_t length, FrameHeader* header,
            uint8_t* data)
      : state_(state), bytes_(bytes), length_(length), header_(header), data_(data) {}

  int32_t Run() {
    // The raw write's echo, and the echo of any write made inside its wait
    // right after it.
    while (RawEchoAwaited()) {
      const int32_t droppedBefore = echoEnd_;
      const int32_t frameEnd = RawEchoStep();
      if (frameEnd != kWait) return frameEnd;
      if (echoEnd_ == droppedBefore) return -echoEnd_;  // the rest has not arrived yet
    }
    const int32_t frameEnd = ScanFrames(length_, true);
    // An echo followed only by bytes that decide nothing yet is dropped at
    // once, so that it is never parsed again as a frame of its own.
    return frameEnd != kWait ? frameEnd : -echoEnd_;
  }

 private:
  bool Protocol1() const { return state_.protocol == 1; }
  int32_t Available(int32_t limit) const { return limit - p_; }

  // --- echo ----------------------------------------------------------------
  bool EchoPending() const {
    return state_.echo != nullptr && (state_.flags->word & SF_ECHO_PENDING) != 0;
  }

  bool RawEchoAwaited() const {
    return state_.rawSendActive != 0 && EchoPending() && state_.echo->length() > 0;
  }

  // The frame starting at p - 1 is the echo when one is pending and due
  // here (or when nothing was recorded to place it by).
  bool EchoDueAtStart() const { return EchoPending() && state_.echo->start() <= p_; }

  // Nothing was recorded to compare with: the echo cannot be confirmed.
  void SettleUnrecorded() {
    if (state_.echo->Awaited()) {
      state_.echo->Settle(false, state_.echo->start());
    } else {
      state_.flags->Clear(SF_ECHO_PENDING);
    }
  }

  // Compares the echo at `at` and drops it; false while it is incomplete.
  // The tracker records the outcome, and the next write's echo (one made
  // inside this one's wait) is due right after it.
  bool DropEcho(int32_t at) {
    const int32_t n = state_.echo->length();
    if (length_ - at < n) return false;
    state_.echo->Settle(std::equal(bytes_ + at, bytes_ + at + n, state_.echo->data()), at + n);
    p_ = at + n;
    echoEnd_ = p_;
    return true;
  }

  // The adapter holds the station's bytes while a device talks, and bytes
  // still queued in the port when the write was made land after the echo's
  // expected position too: a device's talk can stand where the echo is due.
  // A frame there is the echo when it begins as the echo does (start byte,
  // destination, source); damage further on makes it a differing echo.
  // Anything else is the device's: a frame that checks is handed on, other
  // bytes are searched past, and the echo is awaited after them. Returns
  // kEchoHere, a frame's end, kWait while such a frame is incomplete, or
  // kInvalid to search on.
  static constexpr int32_t kEchoHere = -2;
  int32_t EchoOrFrameAhead(int32_t limit) {
    if (EchoHeadAt(p_ - 1) != EchoHead::kNone) return kEchoHere;
    return JudgeFrame(limit);
  }

  // How the echo's head (start byte, destination, source) stands at `at`:
  // all of it, as much of it as has arrived so far, or not at all.
  enum class EchoHead { kNone, kPartly, kThere };
  static constexpr int32_t kEchoHeadSize = 3;
  EchoHead EchoHeadAt(int32_t at) const {
    const int32_t head = std::min(state_.echo->length(), kEchoHeadSize);
    const int32_t n = std::min(head, length_ - at);
    if (!std::equal(bytes_ + at, bytes_ + at + n, state_.echo->data())) return EchoHead::kNone;
    return n == head ? EchoHead::kThere : EchoHead::kPartly;
  }

  // True when the echo still awaited begins with the data frame whose
  // acknowledgement is awaited: an acknowledgement on the line ahead of
  // that echo was sent before the device could hear the frame, so it
  // answers an earlier one.
  bool AwaitedFrameEchoPending() const {
    if (!EchoPending() || state_.echo->length() < kDataFrameSize) return false;
    const uint8_t* echo = state_.echo->data();
    return echo[0] == kStartByte && echo[1] == *state_.lastDestination && !IsShortControl(echo[3]);
  }

  // Where the raw echo begins, searching from its expected position; -1
  // while it has not arrived.
  int32_t LocateRawEcho() const {
    const uint8_t* echo = state_.echo->data();
    const int32_t n = state_.echo->length();
    for (int32_t q = std::max(p_, state_.echo->start()); q < length_; ++q) {
      if (bytes_[q] == echo[0]) return q;
      // A byte matching the echo's second one marks a corrupted first byte,
      // unless it could itself begin the echo.
      if (n > 1 && q + 1 < length_ && bytes_[q + 1] == echo[1] && bytes_[q + 1] != echo[0]) {
        return q;
      }
    }
    return -1;
  }

  // Frames before the raw echo first, then the echo itself. Returns a
  // frame's end, or kWait when the walk is to go on after the echo (or to
  // wait for it).
  int32_t RawEchoStep() {
    const int32_t at = LocateRawEcho();
    const int32_t frameEnd = ScanFrames(at < 0 ? length_ : at, false);
    if (frameEnd != kWait || at < 0) return frameEnd;
    DropEcho(at);  // while incomplete, the echo stays awaited and the caller waits
    return kWait;
  }

  // --- find a start, minimum size --------------------------------------------
  // Moves p to the byte after the next start byte that is followed by a
  // possible destination (below 0x80); to `limit` when there is none.
  void FindStart(int32_t limit) {
    while (p_ < limit) {
      if (bytes_[p_++] != kStartByte) continue;
      if (p_ < limit && bytes_[p_] >= 0x80) continue;  // that byte may start a frame itself
      return;
    }
  }

  int32_t MinimumSize() const { return Protocol1() ? 3 : 4; }

  // Walks starts in [p, limit) and judges the frames there. Returns a valid
  // frame's end, or kWait when none is complete before `limit`.
  int32_t ScanFrames(int32_t limit, bool echoStep) {
    for (;;) {
      FindStart(limit);
      ResetHeader();
      if (Available(limit) < MinimumSize()) return kWait;
      if (echoStep && EchoDueAtStart()) {
        if (state_.echo->length() == 0) {
          SettleUnrecorded();
        } else {
          const int32_t found = EchoOrFrameAhead(limit);
          if (found == kInvalid) continue;
          if (found != kEchoHere) return found;
          if (!DropEcho(p_ - 1)) return kWait;
          if (p_ >= length_) return kWait;
          continue;
        }
      }
      const int32_t frameEnd = echoStep ? JudgeFrameBeforeEcho(limit) : JudgeFrame(limit);
      if (frameEnd != kInvalid) return frameEnd;
    }
  }

  // Where the echo is expected, the bytes begin as the echo does: nothing
  // came between the write and its echo, so no frame that began before the
  // write runs on into it. kPartly while too few of them have arrived to
  // tell; kNone when no echo is awaited there.
  EchoHead EchoHeadAtExpectedPlace() const {
    if (!EchoPending() || state_.echo->length() == 0) return EchoHead::kNone;
    const int32_t at = state_.echo->start();
    if (at < p_ || at >= length_) return EchoHead::kNone;
    return EchoHeadAt(at);
  }

  // Judges the frame at p like JudgeFrame, except that one which would take
  // bytes of the station's own echo is no frame: a frame that a lost or
  // damaged byte cut short must not be completed from the echo.
  int32_t JudgeFrameBeforeEcho(int32_t limit) {
    const EchoHead echoHead = EchoHeadAtExpectedPlace();
    if (echoHead == EchoHead::kNone) return JudgeFrame(limit);
    const int32_t echoAt = state_.echo->start();
    const int32_t cutShort = echoHead == EchoHead::kPartly ? kWait : kInvalid;
    if (Available(echoAt) < MinimumSize()) return cutShort;
    const int32_t frameEnd = JudgeFrame(echoAt);
    return frameEnd != kWait ? frameEnd : cutShort;
  }

  // --- header, short frame, data frame ---------------------------------------
  void ResetHeader() {
    header_->computedChecksum = Protocol1() ? 0 : kProtocol2Seed;
    header_->source = 0;
    header_->typeAndFlags = 0;
    header_->count = 0;
  }

  uint8_t AddToChecksum(uint8_t acc, uint8_t byte) const {
    return Protocol1() ? static_cast<uint8_t>(acc + byte) : ChecksumStep(byte, acc);
  }

  int32_t JudgeFrame(int32_t limit) {
    const uint8_t control = bytes_[p_ + 2];
    header_->destination = bytes_[p_];
    header_->source = bytes_[p_ + 1];
    header_->typeAndFlags = Control5(control);
    header_->count = ControlCount(control);
    uint8_t sum = AddToChecksum(header_->computedChecksum, header_->destination);
    header_->computedChecksum = AddToChecksum(sum, header_->source);
    return IsShortControl(control) ? ShortFrameStep(control) : DataFrameStep(control, limit);
  }

  int32_t ShortFrameStep(uint8_t control) {
    bool valid;
    if (Protocol1()) {
      const uint8_t sum = static_cast<uint8_t>(header_->computedChecksum + (control & 0x7F));
      header_->computedChecksum = sum;
      valid = (sum & 1) == (control >> 7);
    } else {
      header_->computedChecksum = ChecksumStep(control, header_->computedChecksum);
      header_->receivedChecksum = bytes_[p_ + 3];
      valid = header_->receivedChecksum == header_->computedChecksum;
    }
    if (!valid) return kInvalid;
    header_->receivedChecksum = header_->computedChecksum;
    ShortFrameEffects();
    return p_ + (Protocol1() ? 3 : 4);
  }

  // Acknowledgements of the last destination end its wait; a short frame
  // without the acknowledgement bit resets the link state.
  void ShortFrameEffects() {
    if ((header_->typeAndFlags & kAckBit) != 0) {
      if (header_->source == *state_.lastDestination && !AwaitedFrameEchoPending()) {
        state_.flags->Set(SF_ACK_RECEIVED);
        state_.flags->Clear(SF_ACK_PENDING);
      }
      return;
    }
    const uint8_t code = header_->count & 3;
    if (code == 1 || code == 2) ResetLinkState();
    *state_.lastDestination = 0;
  }

  // A device's link reset clears the station's link state, but the bytes
  // the station wrote are on the line all the same: their echo stays
  // awaited, or it would be read as a frame that some device sent.
  void ResetLinkState() {
    const uint32_t echoAwaited = state_.flags->word & SF_ECHO_PENDING;
    state_.flags->Reset();
    state_.flags->Set(echoAwaited);
  }

  int32_t DataFrameStep(uint8_t control, int32_t limit) {
    uint8_t sum = AddToChecksum(header_->computedChecksum, control);
    if (Available(limit) < kDataFrameSize - 1) return kWait;
    // Positions up to and including count are copied (count may be 6 or 7;
    // there are only six positions); the checksum takes all six bytes.
    for (int32_t i = 0; i < 6; ++i) {
      const uint8_t byte = bytes_[p_ + 3 + i];
      data_[i] = i <= header_->count ? byte : 0;
      sum = AddToChecksum(sum, byte);
    }
    header_->computedChecksum = sum;
    header_->receivedChecksum = bytes_[p_ + 9];
    return header_->receivedChecksum == sum ? p_ + 10 : kInvalid;
  }

  ParserState& state_;
  const uint8_t* bytes_;
  int32_t length_;
  FrameHeader* header_;
  uint8_t* data_;
  int32_t p_ = 0;
  int32_t echoEnd_ = 0;  // position after a dropped echo; 0 when none
};

}  // namespace

int32_t ParseFrame(ParserState& state, const uint8_t* bytes, int32_t length, FrameHeader* header,
                   uint8_t data[6]) {
  if (bytes == nullptr || length <= 0) return 0;
  return FrameWalk(state, bytes, length, header, data).Run();
}

}  // namespace zeva::link
