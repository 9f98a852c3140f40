// The termios port's input side: the bytes the watcher of the line takes
// from the terminal into the port's own queue, which the reader's
// QueuedBytes and Read serve without a system call, and the read-ahead hold
// that keeps the data event back until the reader's bytes are in.
//
// The data event is reported once when bytes come in and again only after
// the reader has looked at the queue (finding it empty, or a read);
// reporting it while unread bytes just sit there would post one data-ready
// message after another. Bytes reported but left unread are reported again
// after kDataEventRepeatMs: the report may never have reached the reader.
//
// Threads: the watcher's side (Plan, TakeIn, EndHold, LineErrorSeen,
// AwaitingFirstByte, NoteWrite) runs under the port's watch lock, on the
// event thread or a waiting reader; the reader's side (Queued, Read,
// Expect, Renew, Purge) on the reader's thread at any time.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/hold_plan.h"
#include "platform/platform.h"
#include "platform/posix/serial_line.h"

namespace zeva::posix {

class InputPump {
 public:
  // `fd` is the terminal (not owned); `charUs` one character's wire time.
  InputPump(int fd, int64_t charUs);

  // --- the watcher's side ---------------------------------------------
  // Whether the data event is due now, and otherwise how the watcher waits
  // for it: watching the line or not, and for how long (-1: no limit).
  struct Watch {
    bool due = false;        // report the data event now
    bool watchLine = true;   // poll the line (else only the wake-up)
    int64_t timeoutUs = -1;  // -1: no limit
  };
  Watch Plan();
  // Takes the held bytes and what the terminal holds into the queue (the
  // terminal is not read again when this look found it empty: the bytes
  // are held already). True when the reader is to be told: it has not been
  // told of bytes it has not looked at yet.
  bool TakeIn(bool lookedJustNow);
  void EndHold();
  // A line error counted since the last look.
  bool LineErrorSeen();
  // Bytes read out of the terminal are held for a frame's rest.
  bool HoldsBytes() {
    std::lock_guard<std::mutex> lock(inMutex_);
    return !held_.empty();
  }
  // The next byte starts a hold: its arrival alone is not news.
  bool AwaitingFirstByte() const { return awaitingFirstByte_; }
  // The reader wrote `n` bytes (inside its watch): their echo is waited
  // for whole while they are on the wire.
  void NoteWrite(int32_t n);

  // --- the reader's side ----------------------------------------------
  int32_t Queued();
  // Reads at most n bytes. *leftBehind: the event thread is to look again
  // (reported bytes left unread, or a full queue that can take bytes in
  // again).
  int32_t Read(uint8_t* buffer, int32_t n, bool* leftBehind);
  // The reader's read-ahead count. True when a held event is to be looked
  // at again at once (the count fell).
  bool Expect(int32_t count);
  // Queued bytes are to be reported anew. True when there are some.
  bool Renew();
  void Purge();

 private:
  void RepeatUnreadReport(Watch& watch);
  bool ReportedAndFresh(int64_t now) const;
  void SetMinimum(cc_t bytes);
  ssize_t ReadTerminal(uint8_t* bytes, size_t size);
  void HoldIn();

  const int fd_;
  const int64_t charUs_;
  // The queue: the bytes taken in and not yet read, and whether the reader
  // has been told of them and not looked since.
  std::mutex inMutex_;
  std::vector<uint8_t> in_;
  // Bytes read out of the terminal while their event is held back; they
  // join the queue when it goes out (the watcher's side appends them).
  std::vector<uint8_t> held_;
  bool reported_ = false;
  int64_t reportedAtUs_ = 0;
  // Read-ahead: what the reader still needs, and whether the watcher may be
  // holding the data event back for it.
  std::atomic<int32_t> expected_{1};
  std::atomic<bool> holding_{false};
  // The watcher's state below.
  bool errorCountsKnown_ = false;
  uint64_t lineErrors_ = 0;
  bool canHold_ = false;
  cc_t minimum_ = 0;           // the VMIN the terminal has now
  ReadMinimumState minimumState_;
  platform::HoldClock hold_;   // the held-back event's clock
  int64_t quietUntilUs_ = 0;   // the reader's own write is on the wire until then
  int32_t lastWriteSize_ = 0;  // a write whose first returning bytes are to be judged
  bool echoesTakeWireTime_ = false;
  bool drained_ = false;      // the read that took bytes in left the terminal empty
  bool lookEmptied_ = false;  // this look's read left it empty
  bool awaitingFirstByte_ = false;
};

}  // namespace zeva::posix
