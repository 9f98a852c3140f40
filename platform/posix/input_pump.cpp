#include "platform/posix/input_pump.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <utility>

#include "platform/posix/clock.h"
#include "platform/posix/serial_line.h"

namespace zeva::posix {
namespace {

// VMIN is one byte of the terminal's settings.
constexpr int32_t kMaxHeldBytes = 255;
// The most the queue takes in for a reader that does not read; past it,
// bytes wait in the terminal (and are lost when that fills, as in an
// overrun).
constexpr size_t kMaxQueued = 64 * 1024;
constexpr int64_t kReportAgainUs = int64_t{platform::kDataEventRepeatMs} * 1000;

}  // namespace

InputPump::InputPump(int fd, int64_t charUs) : fd_(fd), charUs_(charUs) {
  errorCountsKnown_ = LineErrorCount(fd_, &lineErrors_);
  termios line{};
  canHold_ = charUs_ > 0 && tcgetattr(fd_, &line) == 0;
  if (canHold_) minimum_ = line.c_cc[VMIN];
}

bool InputPump::ReportedAndFresh(int64_t now) const { return reported_ && now - reportedAtUs_ < kReportAgainUs; }

bool InputPump::LineErrorSeen() {
  if (!errorCountsKnown_) return false;
  uint64_t count = 0;
  if (!LineErrorCount(fd_, &count) || count == lineErrors_) return false;
  lineErrors_ = count;
  return true;
}

// Holding the data event back (the plan is PlanHold's). While the missing
// bytes are still on the wire the watcher does not watch the line at all
// (a terminal wakes its pollers at every byte, whatever they wait for) but
// sleeps until they should be in, and bytes a little late are slept through
// to the hold's end. On a line found slower than its rate the rest is waited
// for with the terminal's own minimum (VMIN, which poll() honours while
// VTIME is 0), so that the last of them wakes the watcher. The first byte
// of a frame is watched for with a VMIN of 0: its arrival starts the clock
// of the hold, and a line that stops delivering ends it.
void InputPump::SetMinimum(cc_t bytes) {
  if (bytes == minimum_) return;
  if (SetReadMinimum(fd_, &minimumState_, bytes)) {
    minimum_ = bytes;
  } else {
    canHold_ = false;  // the terminal will not wait: every arrival is reported
  }
}

void InputPump::EndHold() {
  hold_.holdUntilUs = 0;
  holding_ = false;
}

// Bytes taken in but not yet read count towards what the reader expects.
InputPump::Watch InputPump::Plan() {
  Watch watch;
  awaitingFirstByte_ = false;
  holding_ = true;  // before reading the count: a lower count wakes the watcher
  const int32_t expected = canHold_ ? expected_.load() : 1;
  int32_t buffered = 0;
  bool reported = false;
  {
    std::lock_guard<std::mutex> lock(inMutex_);
    buffered = static_cast<int32_t>(in_.size());
    reported = ReportedAndFresh(SteadyNowUs());
  }
  if (static_cast<size_t>(buffered) >= kMaxQueued) {
    // Full: nothing more is taken in until the reader reads (it wakes us).
    EndHold();
    watch.watchLine = false;
    RepeatUnreadReport(watch);
    return watch;
  }
  const int64_t quietUs = platform::PlanEchoQuiet(SteadyNowUs(), hold_.holding(), buffered, reported, &quietUntilUs_);
  if (quietUs >= 0) {
    watch.watchLine = false;
    watch.timeoutUs = quietUs;
    RepeatUnreadReport(watch);
    return watch;
  }
  // What the terminal holds is read out at each look, into the held bytes
  // (which count as the terminal's own): one system call where asking for
  // the count and then reading took two. A read that left the terminal
  // empty a moment ago saves looking again; a byte that came since makes
  // the line readable at once.
  if (std::exchange(drained_, false)) {
    lookEmptied_ = true;
  } else {
    HoldIn();
  }
  int32_t queued = 0;
  {
    std::lock_guard<std::mutex> lock(inMutex_);
    queued = static_cast<int32_t>(held_.size());
  }
  if (queued > 0 && lastWriteSize_ > 0) {
    // A write's first look at what came back: a line that returned the
    // whole echo at once (a simulated bus) is not made to wait for it.
    echoesTakeWireTime_ = queued < lastWriteSize_;
    lastWriteSize_ = 0;
  }
  platform::HoldSeen seen;
  seen.nowUs = SteadyNowUs();
  seen.charUs = charUs_;
  seen.expected = expected;
  seen.buffered = buffered;
  seen.reported = reported;
  seen.queued = queued;
  const platform::HoldPlan plan = platform::PlanHold(seen, &hold_);
  holding_ = hold_.holding();
  awaitingFirstByte_ = plan.awaitingFirstByte;
  // The held bytes have left the terminal: it waits for the rest only.
  if (plan.minimum >= 0 && canHold_) SetMinimum(static_cast<cc_t>(std::max(plan.minimum - queued, 0)));
  watch.due = plan.due;
  watch.watchLine = plan.watchLine;
  watch.timeoutUs = plan.timeoutUs;
  RepeatUnreadReport(watch);
  return watch;
}

// Bytes that were reported but sit unread are reported again once their
// report is kReportAgainUs old: it may never have reached the reader.
void InputPump::RepeatUnreadReport(Watch& watch) {
  if (watch.due) return;
  int64_t left = 0;
  {
    std::lock_guard<std::mutex> lock(inMutex_);
    if (in_.empty() || !reported_) return;
    left = reportedAtUs_ + kReportAgainUs - SteadyNowUs();
  }
  if (left <= 0) {
    watch.due = true;
  } else if (watch.timeoutUs < 0 || left < watch.timeoutUs) {
    watch.timeoutUs = left;
  }
}

// A read returns what is there even below the terminal's minimum, as the
// descriptor does not block. Returns the bytes read, or -1.
ssize_t InputPump::ReadTerminal(uint8_t* bytes, size_t size) {
  ssize_t got;
  do {
    got = read(fd_, bytes, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

void InputPump::HoldIn() {
  uint8_t bytes[4096];
  const ssize_t got = ReadTerminal(bytes, sizeof bytes);
  lookEmptied_ = got >= 0 && static_cast<size_t>(got) < sizeof bytes;
  if (got <= 0) return;
  std::lock_guard<std::mutex> lock(inMutex_);
  held_.insert(held_.end(), bytes, bytes + got);
}

// After a look that emptied the terminal the bytes are all held already.
bool InputPump::TakeIn(bool lookedJustNow) {
  uint8_t bytes[4096];
  ssize_t got = 0;
  if (lookedJustNow && lookEmptied_) {
    drained_ = true;
  } else {
    got = ReadTerminal(bytes, sizeof bytes);
    drained_ = got >= 0 && static_cast<size_t>(got) < sizeof bytes;
  }
  lookEmptied_ = false;
  std::lock_guard<std::mutex> lock(inMutex_);
  in_.insert(in_.end(), held_.begin(), held_.end());
  held_.clear();
  if (got > 0) in_.insert(in_.end(), bytes, bytes + got);
  const int64_t now = SteadyNowUs();
  if (in_.empty() || ReportedAndFresh(now)) return false;
  reported_ = true;
  reportedAtUs_ = now;
  return true;
}

// The reader writes and then waits: on a line that takes each byte's wire
// time its wait need not watch the line before these bytes have had theirs,
// and one and a half characters more for the echo's way back (the tolerance
// a hold gives a frame's last byte): an echo whose last byte comes a little
// late is then still taken in one look, not in two. Whether the line takes
// wire time is seen at a write's first look at what came back.
void InputPump::NoteWrite(int32_t n) {
  // The terminal is empty no longer: the echo is on its way.
  drained_ = false;
  if (canHold_ && echoesTakeWireTime_) {
    quietUntilUs_ = SteadyNowUs() + int64_t{n} * charUs_ + charUs_ * 3 / 2;
  } else {
    lastWriteSize_ = n;
  }
}

// A reader that finds the queue empty, or empties it, is to be told of the
// next bytes; one that leaves bytes behind is told of them again, and one
// that reads from a full queue lets the watcher take bytes in again.
int32_t InputPump::Queued() {
  std::lock_guard<std::mutex> lock(inMutex_);
  if (in_.empty()) reported_ = false;
  return static_cast<int32_t>(in_.size());
}

int32_t InputPump::Read(uint8_t* buffer, int32_t n, bool* leftBehind) {
  std::lock_guard<std::mutex> lock(inMutex_);
  const size_t sizeBefore = in_.size();
  const size_t take = std::min(sizeBefore, static_cast<size_t>(n));
  std::copy_n(in_.begin(), take, buffer);
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(take));
  *leftBehind = (!in_.empty() && reported_) || sizeBefore >= kMaxQueued;
  reported_ = false;
  return static_cast<int32_t>(take);
}

bool InputPump::Expect(int32_t count) {
  const int32_t before = expected_.exchange(std::clamp(count, 1, kMaxHeldBytes));
  // An event held back for more bytes than are now needed must not wait on.
  return count < before && holding_.load();
}

bool InputPump::Renew() {
  std::lock_guard<std::mutex> lock(inMutex_);
  if (in_.empty()) return false;
  reported_ = false;
  return true;
}

void InputPump::Purge() {
  std::lock_guard<std::mutex> lock(inMutex_);
  in_.clear();
  held_.clear();
  reported_ = false;
}

}  // namespace zeva::posix
