// Who watches the line: the port's event thread, or the reader waiting in
// the driver. The rules are the same on every platform, so they live here;
// a port supplies what only it can do (LeaseHost) and does the waiting.
//
// From the reader's Begin to its End (nested pairs count as one; all on the
// reader's thread) the event thread stands aside while the reader is in its
// wait (WaitBegins .. WaitEnds) or left it less than kLeaseUs ago: the
// reader's next wait, a moment later, watches the line again, and one data
// event wakes one thread instead of two. The lease is short so that data
// events still come when the reader is held up elsewhere; a reader that
// runs a message loop of its own (a client's callback may) ends it at once
// (LoopsElsewhere), and End hands the line back at once. A line the reader
// found gone is left to the event thread, which finds out for itself.
//
// Threads: Begin, End, Abandon, WaitBegins, WaitEnds, LineGone and
// LoopsElsewhere run on the reader's thread; StandAside on the event
// thread; ReaderHasLine and WakeUnlessReaderHasLine on either.
#pragma once

#include <atomic>
#include <cstdint>

namespace zeva::platform {

// What a port does for the lease.
class LeaseHost {
 public:
  virtual ~LeaseHost() = default;
  // A monotonic clock in microseconds.
  virtual int64_t LeaseNowUs() = 0;
  // The event thread is to look at the line again (its wait ends).
  virtual void WakeEventThread() = 0;
  // The reader's thread starts (or stops) watching: from now on a message
  // loop of its own that blocks calls ReaderLease::LoopsElsewhere, and the
  // thread may be set up for exactly timed waits.
  virtual void EnterReaderThread() = 0;
  virtual void LeaveReaderThread() = 0;
  // The reader takes the line for its watch, and gives it back (its watch
  // ends, it runs a loop of its own, or it found the line gone). A port
  // whose event thread can stop watching the line without being woken does
  // so here; the lease's own wake-ups cover the rest.
  virtual void ReaderTakesLine() {}
  virtual void ReaderGivesLineBack() {}
};

class ReaderLease {
 public:
  // How long after leaving its wait a reader keeps the line: long enough to
  // span the work between two waits of one call, short enough that data
  // events still come when the reader is held up elsewhere.
  static constexpr int64_t kLeaseUs = 20'000;

  explicit ReaderLease(LeaseHost& host) : host_(host) {}

  // --- the reader's thread ---------------------------------------------
  void Begin();
  void End();
  // The port closes inside the watch: the thread's loops no longer concern
  // it. The line is not handed back (the event thread has ended).
  void Abandon();
  // Inside a watch (any depth).
  bool Watching() const { return depth_ > 0; }
  // Whether the reader may watch the line itself now.
  bool MayWait() const { return depth_ > 0 && !lineGone_.load(); }
  void WaitBegins(int64_t deadlineUs);
  void WaitEnds();
  // The reader's wait found the line gone: the event thread is woken to
  // find out for itself and end.
  void LineGone();
  // The reader runs a message loop of its own: its lease is over.
  void LoopsElsewhere();

  // --- either thread -----------------------------------------------------
  bool ReaderHasLine(int64_t nowUs) const;
  // The event thread is to look again, unless the reader has the line and
  // so looks at its next wait; that wake-up is then owed and given when the
  // watch ends.
  void WakeUnlessReaderHasLine();

  // --- the event thread --------------------------------------------------
  // Before each look: -1 when the event thread watches the line itself,
  // else how long it stands aside (at least 1 us). A waiting reader is not
  // looked after before its wait's end, so a long wait costs the event
  // thread no wake-ups.
  int64_t StandAside(int64_t nowUs);

 private:
  LeaseHost& host_;
  int depth_ = 0;  // the reader's thread only
  std::atomic<bool> scope_{false};
  std::atomic<bool> waiting_{false};
  std::atomic<int64_t> leftUs_{0};
  std::atomic<int64_t> waitEndsUs_{0};
  std::atomic<bool> eventThreadAside_{false};
  std::atomic<bool> lineGone_{false};
  std::atomic<bool> wakeOwed_{false};
};

}  // namespace zeva::platform
