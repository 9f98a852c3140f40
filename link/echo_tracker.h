// The echo of the station's own writes. On the half-duplex line every byte
// the station writes comes back to it; a write made with the echo check on
// records its bytes here, the parser finds them in the receive accumulator,
// compares and drops them, and the write counts only when they came back
// unchanged. This is the one place that knows what was written, where its
// echo is due and what became of it.
//
// Writes nest: an acknowledgement sent from inside another write's wait
// goes out while the first write's echo may still be on its way, and its
// bytes follow that echo on the line. Each write is compared on its own, one
// after the other, so a damaged or cut echo of one write neither spoils nor
// hides the other's: its bytes are still recognised as the station's own.
//
// The tracker keeps the two echo flags in step: SF_ECHO_PENDING while an
// echo is still to be compared, SF_ECHO_MATCHED when the echo of the
// innermost write in progress came back unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "link/status_flags.h"

namespace zeva::link {

class EchoTracker {
 public:
  static constexpr int32_t kMaxWrites = 10;

  explicit EchoTracker(StatusFlags& flags) : flags_(flags) {}
  EchoTracker(const EchoTracker&) = delete;
  EchoTracker& operator=(const EchoTracker&) = delete;

  // --- the writer ----------------------------------------------------------
  // Records the bytes of a write about to go out. Its echo is due where the
  // accumulator ended when the receive path last looked, or right after the
  // echoes still awaited. Returns the write's number (above 0), or -1 when
  // ten writes already wait for their echo.
  int32_t Expect(const uint8_t* bytes, int32_t n);
  // The write failed: its bytes never went out, nothing comes back.
  void Withdraw(int32_t write);
  // True when the write's echo came back unchanged.
  bool Matched(int32_t write) const;
  // The write has taken its verdict. Its echo, if still on its way, is
  // still recognised when it comes; once no write is left, all is forgotten.
  void Finish(int32_t write);
  // The receive accumulator starts anew (the port was opened or closed):
  // nothing written before can be placed in it.
  void Reset();

  // --- the receive path ----------------------------------------------------
  // The accumulator grew to `accumulatorLength` bytes.
  void Appended(int32_t accumulatorLength);
  // n bytes were dropped from its front, leaving `accumulatorLength`.
  void Consumed(int32_t n, int32_t accumulatorLength);

  // --- the parser ----------------------------------------------------------
  // An echo still to be compared, and which: its bytes, their number, and
  // where in the accumulator it is due (-1 when none is awaited).
  bool Awaited() const { return Due() != nullptr; }
  const uint8_t* data() const;
  int32_t length() const;
  int32_t start() const { return Awaited() ? start_ : -1; }
  // The echo due was compared where it ends at `end`; the next one is due
  // right after it.
  void Settle(bool unchanged, int32_t end);

  int32_t writes() const { return static_cast<int32_t>(writes_.size()); }
  int32_t received() const { return received_; }

 private:
  enum class Outcome : uint8_t { kAwaited, kUnchanged, kDiffered, kWithdrawn };
  struct Write {
    uint32_t id = 0;
    std::vector<uint8_t> bytes;
    Outcome outcome = Outcome::kAwaited;
    bool finished = false;
  };

  const Write* Due() const;
  Write* Find(int32_t write);
  // SF_ECHO_MATCHED shows the verdict of the innermost write in progress,
  // SF_ECHO_PENDING whether any echo is still awaited.
  void UpdateFlags();

  StatusFlags& flags_;
  std::vector<Write> writes_;  // in the order they were made
  int32_t start_ = -1;         // where the echo due is expected
  int32_t received_ = 0;       // the accumulator's length as last seen
  uint32_t lastId_ = 0;        // numbers writes across resets, so none is mistaken for another
};

}  // namespace zeva::link
