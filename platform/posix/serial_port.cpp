#include "platform/posix/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/posix/clock.h"
#include "platform/posix/last_error.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/prefix.h"
#include "platform/posix/serial_line.h"
#include "platform/posix/window_system.h"

namespace zeva::posix {
namespace {

using platform::OpenStatus;
using platform::WriteResult;

struct StandardRate {
  int32_t bps;
  speed_t speed;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
};

bool StandardSpeed(int32_t bps, speed_t* speed) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.bps == bps) {
      *speed = rate.speed;
      return true;
    }
  }
  return false;
}

bool CharacterSize(uint8_t byteSize, tcflag_t* size) {
  switch (byteSize) {
    case 5: *size = CS5; return true;
    case 6: *size = CS6; return true;
    case 7: *size = CS7; return true;
    case 8: *size = CS8; return true;
    default: return false;
  }
}

}  // namespace

// Parity is generated but not checked, so a byte arrives as it came off the
// line and the error shows only in the error counters.
bool MakeRawLine(termios* tio, uint8_t byteSize) {
  tcflag_t size = 0;
  if (!CharacterSize(byteSize, &size)) return false;
  tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                         IXANY | INPCK);
  tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB);
#ifdef CRTSCTS
  tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  tio->c_cflag |= size | PARENB | CLOCAL | CREAD;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  return true;
}

namespace {

// A pseudo-terminal carries bytes, not characters on a wire: it keeps eight
// bits without parity whatever is asked, and the C library then reports the
// whole request as refused. It counts as taken when everything else was.
bool TakenApartFromCharacterFormat(int fd, const termios& wanted) {
  termios got{};
  if (tcgetattr(fd, &got) != 0) return false;
  const tcflag_t format = CSIZE | PARENB | PARODD;
  return (got.c_cflag & format) == CS8 && (got.c_cflag & ~format) == (wanted.c_cflag & ~format) &&
         got.c_iflag == wanted.c_iflag && got.c_oflag == wanted.c_oflag && got.c_lflag == wanted.c_lflag &&
         cfgetospeed(&got) == cfgetospeed(&wanted);
}

bool ConfigureLine(int fd, const platform::SerialConfig& config) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  if (config.bps <= 0 || !MakeRawLine(&tio, config.byteSize)) return false;
  speed_t speed = B0;
  const bool standard = StandardSpeed(config.bps, &speed);
  if (standard && (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0 && !TakenApartFromCharacterFormat(fd, tio)) return false;
  return standard || SetArbitraryRate(fd, config.bps);
}

// The adapter is not to be driven by the modem lines. Opening a tty raises
// them, so they are lowered again; a pseudo-terminal has none.
void LowerModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ioctl(fd, TIOCMBIC, &lines);
}

// One owner at a time, as for a COM port: the lock keeps out other opens
// through this library, TIOCEXCL other programs that are not privileged.
bool TakeExclusive(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
    SetLastErrorFromCode(EBUSY);
    return false;
  }
  (void)ioctl(fd, TIOCEXCL);
  return true;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// One character on the wire: start bit, data bits, parity bit, stop bit.
int64_t CharacterUs(const platform::SerialConfig& config) {
  const int64_t bits = 1 + config.byteSize + 1 + 1;
  return config.bps > 0 ? (bits * 1'000'000 + config.bps - 1) / config.bps : 0;
}

// VMIN is one byte of the terminal's settings.
constexpr int32_t kMaxHeldBytes = 255;
// The most the input queue takes in for a reader that does not read; past
// it, bytes wait in the terminal (and are lost when that fills, as in an
// overrun).
constexpr size_t kMaxQueued = 64 * 1024;
// How long after leaving its wait a reader keeps the line: long enough to
// span the work between two waits of one call, short enough that data
// events still come when the reader is held up elsewhere.
constexpr int64_t kReaderLeaseUs = 20'000;
constexpr int64_t kReportAgainUs = int64_t{platform::kDataEventRepeatMs} * 1000;

class TermiosPort final : public platform::SerialPort {
 public:
  TermiosPort(int fd, const int wake[2], const int readerWake[2], const platform::SerialConfig& config)
      : fd_(fd),
        wakeRead_(wake[0]),
        wakeWrite_(wake[1]),
        readerWakeRead_(readerWake[0]),
        readerWakeWrite_(readerWake[1]),
        writeTimeoutPerByteMs_(config.writeTimeoutPerByteMs),
        charUs_(CharacterUs(config)) {
    errorCountsKnown_ = LineErrorCount(fd_, &lineErrors_);
    canHold_ = charUs_ > 0 && tcgetattr(fd_, &line_) == 0;
    if (canHold_) minimum_ = line_.c_cc[VMIN];
  }
  ~TermiosPort() override { Close(); }

  bool SetEventMask(uint32_t mask) override {
    if (fd_ < 0) return false;
    mask_ = mask;
    Wake();
    return true;
  }

  bool WaitEvent(uint32_t* mask) override;
  int32_t QueuedBytes() override;
  int32_t Read(uint8_t* buffer, int32_t n) override;
  WriteResult Write(const uint8_t* buffer, int32_t n) override;

  void ExpectBytes(int32_t count) override {
    const int32_t before = expected_.exchange(std::clamp(count, 1, kMaxHeldBytes));
    // An event held back for more bytes than are now needed must not wait
    // on; a reader that watches the line itself plans afresh at its wait.
    if (count < before && holding_.load()) WakeUnlessReaderWatches();
  }

  void BeginReaderWatch() override {
    if (readerDepth_++ > 0) return;
    readerScope_ = true;
    // A client that runs a message loop of its own inside the watch (from a
    // callback, say) waits for data events the event thread must post.
    previousHook_ = posixwin::SetBlockHook({&ReaderLoopsElsewhere, reinterpret_cast<uintptr_t>(this)});
#ifdef PR_SET_TIMERSLACK
    // The reader's holds end at moments computed to the microsecond too;
    // its own timer slack comes back when the watch ends.
    const int slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    readerSlack_ = slack > 0 ? static_cast<unsigned long>(slack) : 0;
    if (readerSlack_ > 1) (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
  }
  void EndReaderWatch() override;
  void RestoreReaderThread();
  ReaderWait WaitAsReader(uint32_t tick) override;

  void RenewDataEvent() override {
    {
      std::lock_guard<std::mutex> lock(inMutex_);
      if (in_.empty()) return;
      reported_ = false;
    }
    WakeUnlessReaderWatches();
  }

  void Purge() override {
    if (fd_ >= 0) tcflush(fd_, TCIOFLUSH);
    std::lock_guard<std::mutex> lock(inMutex_);
    in_.clear();
    reported_ = false;
  }

  bool Close() override;

 private:
  void Wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up.
    (void)!write(wakeWrite_, &byte, 1);
  }
  // The event thread is to look again, unless the reader has the line and
  // so looks at its next wait; that wake-up is then due when the reader's
  // watch ends.
  void WakeUnlessReaderWatches() {
    if (ReaderHasLine(NowUs())) {
      wakeOwed_ = true;
    } else {
      Wake();
    }
  }
  void DrainWake() {
    char bytes[64];
    // A short read emptied the pipe; only a full one may have left some.
    while (read(wakeRead_, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes)) {
    }
  }
  bool TakeIn();
  bool LineErrorSeen();
  bool ReaderHasLine(int64_t now) const;
  static void ReaderLoopsElsewhere(uintptr_t port);
  // The reader left for a loop of its own: its lease is over.
  void EndLease() {
    readerLeftUs_ = NowUs() - kReaderLeaseUs;
    if (eventThreadAside_.load()) Wake();
  }
  struct WatchEnd {
    enum Kind { kEvents, kOther, kTimeout, kGone } kind = kTimeout;
    uint32_t events = 0;
  };
  WatchEnd WatchLine(uint32_t wanted, int otherFd, bool reader, int64_t deadlineUs);
  bool WaitWritable(int64_t deadline, bool limited);
  struct DataWatch {
    bool due = false;        // report the data event now
    bool watchLine = true;   // poll the line (else only the wake-up pipe)
    int64_t timeoutUs = -1;  // -1: no limit
  };
  DataWatch PlanDataWatch();
  void RepeatUnreadReport(DataWatch& watch);
  bool ReportedAndFresh(int64_t now) const { return reported_ && now - reportedAtUs_ < kReportAgainUs; }
  void EndHold();
  void SetMinimum(cc_t bytes);

  int fd_;
  int wakeRead_;
  int wakeWrite_;
  // The reader's wait: its message queue writes here when a message comes.
  int readerWakeRead_;
  int readerWakeWrite_;
  const uint32_t writeTimeoutPerByteMs_;
  const int64_t charUs_;
  std::atomic<uint32_t> mask_{0};
  // The input queue: the bytes the event thread has taken from the terminal
  // and not yet given to the reader, and whether the reader has been told
  // of them and not looked since.
  std::mutex inMutex_;
  std::vector<uint8_t> in_;
  bool reported_ = false;
  int64_t reportedAtUs_ = 0;
  // Read-ahead: what the reader still needs, and whether the watcher may be
  // holding the data event back for it.
  std::atomic<int32_t> expected_{1};
  std::atomic<bool> holding_{false};
  // The reader's watch: its nesting (reader's thread only), whether it is
  // on, whether the reader is in its wait and when it last left it, whether
  // the event thread has stood aside, and a line the reader found gone.
  int readerDepth_ = 0;
  posixwin::BlockHook previousHook_;
  unsigned long readerSlack_ = 0;  // the reader thread's own timer slack
  std::atomic<bool> readerScope_{false};
  std::atomic<bool> readerWaiting_{false};
  std::atomic<int64_t> readerLeftUs_{0};
  std::atomic<int64_t> readerWaitEndsUs_{0};
  std::atomic<bool> eventThreadAside_{false};
  std::atomic<bool> lineGone_{false};
  std::atomic<bool> wakeOwed_{false};
  // The watcher's state below: the event thread's or a waiting reader's,
  // one at a time.
  std::mutex watchMutex_;
  bool errorCountsKnown_ = false;
  uint64_t lineErrors_ = 0;
  bool canHold_ = false;
  termios line_{};
  cc_t minimum_ = 0;         // the VMIN the terminal has now
  int64_t holdUntilUs_ = 0;  // when a held-back event goes out; 0: none held
  int64_t quietUntilUs_ = 0;  // the reader's own write is on the wire until then
  int32_t lastWriteSize_ = 0;  // a write whose first returning bytes are to be judged
  bool echoesTakeWireTime_ = false;
  int64_t restDueUs_ = 0;    // when the held bytes should all be in
  int32_t heldQueued_ = 0;   // bytes queued when that time was set
  bool drained_ = false;     // the last read left the terminal empty
  bool awaitingFirstByte_ = false;
  bool slackSet_ = false;  // event thread only
};

bool TermiosPort::LineErrorSeen() {
  if (!errorCountsKnown_) return false;
  uint64_t count = 0;
  if (!LineErrorCount(fd_, &count) || count == lineErrors_) return false;
  lineErrors_ = count;
  return true;
}

// Holding the data event back. While the missing bytes are still on the
// wire the thread does not watch the line at all (a terminal wakes its
// pollers at every byte, whatever they wait for) but sleeps until they
// should be in. Bytes that come late are waited for with the terminal's own
// minimum (VMIN, which poll() honours while VTIME is 0), so that the last of
// them wakes the thread. The first byte of a frame is watched for with a
// VMIN of 0: its arrival starts the clock of the hold, and a line that stops
// delivering ends it.
void TermiosPort::SetMinimum(cc_t bytes) {
  if (bytes == minimum_) return;
  line_.c_cc[VMIN] = bytes;
  if (tcsetattr(fd_, TCSANOW, &line_) == 0) {
    minimum_ = bytes;
  } else {
    canHold_ = false;  // the terminal will not wait: every arrival is reported
  }
}

void TermiosPort::EndHold() {
  holdUntilUs_ = 0;
  holding_ = false;
}

// Whether the data event is due now, and otherwise how the thread waits for
// it: watching the line or not, and for how long (-1: no limit). Bytes taken
// in but not yet read count towards what the reader expects.
TermiosPort::DataWatch TermiosPort::PlanDataWatch() {
  DataWatch watch;
  awaitingFirstByte_ = false;
  holding_ = true;  // before reading the count: a lower count wakes the thread
  const int32_t expected = canHold_ ? expected_.load() : 1;
  int32_t buffered = 0;
  bool reported = false;
  {
    std::lock_guard<std::mutex> lock(inMutex_);
    buffered = static_cast<int32_t>(in_.size());
    reported = ReportedAndFresh(NowUs());
  }
  if (static_cast<size_t>(buffered) >= kMaxQueued) {
    // Full: nothing more is taken in until the reader reads (it wakes us).
    EndHold();
    watch.watchLine = false;
    return watch;
  }
  if (quietUntilUs_ != 0) {
    // While the reader's own bytes are on the wire only their echo can
    // come, and they are waited for whole, as a hold would.
    const int64_t now = NowUs();
    if (now < quietUntilUs_ && holdUntilUs_ == 0 && (buffered == 0 || reported)) {
      watch.watchLine = false;
      watch.timeoutUs = quietUntilUs_ - now;
      return watch;
    }
    quietUntilUs_ = 0;
  }
  // A read that left the terminal empty a moment ago saves asking again;
  // a byte that came since makes the line readable at once.
  int queued = 0;
  if (!std::exchange(drained_, false) && ioctl(fd_, FIONREAD, &queued) != 0) queued = 0;
  if (queued == 0) {
    EndHold();
    // Bytes a reader left behind are news of their own.
    watch.due = buffered > 0 && !reported;
    if (canHold_) SetMinimum(0);
    awaitingFirstByte_ = expected > 1;  // its arrival starts a hold
    return watch;
  }
  if (lastWriteSize_ > 0) {
    echoesTakeWireTime_ = queued < lastWriteSize_;
    lastWriteSize_ = 0;
  }
  if (expected <= 1 || buffered + queued >= expected) {
    EndHold();
    watch.due = true;
    return watch;
  }
  const int64_t now = NowUs();
  if (holdUntilUs_ == 0) {
    // The missing bytes are due after their wire time, if the line goes on.
    const int64_t rest = (expected - buffered - queued) * charUs_;
    restDueUs_ = now + rest + charUs_ / 4;
    holdUntilUs_ = now + rest + charUs_ * 3 / 2;
    heldQueued_ = queued;
  } else if (now >= holdUntilUs_) {
    // Nothing came since the last look: the rest is not coming (cut or
    // damaged), and the reader is to see what is there.
    if (queued == heldQueued_) {
      EndHold();
      watch.due = true;
      return watch;
    }
    // Still coming, only slower than the line's rate: wait while it does.
    holdUntilUs_ = now + charUs_ * 3 / 2;
    heldQueued_ = queued;
  }
  if (now < restDueUs_) {
    watch.watchLine = false;
    watch.timeoutUs = restDueUs_ - now;
    return watch;
  }
  SetMinimum(static_cast<cc_t>(expected - buffered));
  watch.timeoutUs = holdUntilUs_ - now;
  return watch;
}

// Takes what the terminal holds into the input queue. True when the reader
// is to be told: it has not been told of bytes it has not looked at yet.
// A read returns what is there even below the terminal's minimum, as the
// descriptor does not block.
bool TermiosPort::TakeIn() {
  uint8_t bytes[4096];
  ssize_t got;
  do {
    got = read(fd_, bytes, sizeof bytes);
  } while (got < 0 && errno == EINTR);
  drained_ = got >= 0 && static_cast<size_t>(got) < sizeof bytes;
  std::lock_guard<std::mutex> lock(inMutex_);
  if (got > 0) in_.insert(in_.end(), bytes, bytes + got);
  const int64_t now = NowUs();
  if (in_.empty() || ReportedAndFresh(now)) return false;
  reported_ = true;
  reportedAtUs_ = now;
  return true;
}

// Bytes that were reported but sit unread are reported again once their
// report is kReportAgainUs old: it may never have reached the reader.
void TermiosPort::RepeatUnreadReport(DataWatch& watch) {
  if (watch.due) return;
  int64_t left = 0;
  {
    std::lock_guard<std::mutex> lock(inMutex_);
    if (in_.empty() || !reported_) return;
    left = reportedAtUs_ + kReportAgainUs - NowUs();
  }
  if (left <= 0) {
    watch.due = true;
  } else if (watch.timeoutUs < 0 || left < watch.timeoutUs) {
    watch.timeoutUs = left;
  }
}

bool TermiosPort::ReaderHasLine(int64_t now) const {
  if (!readerScope_.load() || lineGone_.load()) return false;
  return readerWaiting_.load() || now - readerLeftUs_.load() < kReaderLeaseUs;
}

// Watches the line for the comm events in `wanted` until they are due, or
// `otherFd` turns readable, or (for a reader) `deadlineUs` passes. The event
// thread stands aside while a reader has the line, and then sleeps until
// the reader's lease could have run out.
TermiosPort::WatchEnd TermiosPort::WatchLine(uint32_t wanted, int otherFd, bool reader, int64_t deadlineUs) {
  for (;;) {
    std::unique_lock<std::mutex> lock(watchMutex_);
    const int64_t now = NowUs();
    bool aside = false;
    if (!reader) {
      // Set before the reader's state is read: a reader ending its watch
      // reads it after clearing its own, so one of the two sees the other.
      eventThreadAside_ = true;
      aside = ReaderHasLine(now);
      if (!aside) eventThreadAside_ = false;
    }
    const bool watchData = (wanted & platform::kEvRxChar) != 0 && !aside;
    DataWatch watch;
    if (watchData) {
      watch = PlanDataWatch();
      RepeatUnreadReport(watch);
    }
    bool dataDue = watch.due;
    if (!dataDue) {
      int64_t timeoutUs = watch.timeoutUs;
      if (aside) {
        // A waiting reader is not looked after before its wait's end: a long
        // wait costs the event thread no wake-ups.
        const int64_t from = readerWaiting_.load() ? readerWaitEndsUs_.load() : readerLeftUs_.load();
        timeoutUs = std::max<int64_t>(from + kReaderLeaseUs - now, 1);
      }
      if (deadlineUs >= 0) {
        const int64_t left = deadlineUs - now;
        if (left <= 0) return {WatchEnd::kTimeout};
        if (timeoutUs < 0 || left < timeoutUs) timeoutUs = left;
      }
      // Without data watched the line is still polled for a hang-up, except
      // while a hold sleeps (its bytes would wake the thread for nothing)
      // and while a reader has it. The terminal's queue is empty unless a
      // hold is on, so the line is readable only with new bytes.
      const int lineFd = !aside && watch.watchLine ? fd_ : -1;
      lock.unlock();
      pollfd fds[2] = {{lineFd, static_cast<short>(watchData ? POLLIN : 0), 0}, {otherFd, POLLIN, 0}};
      const timespec timeout{static_cast<time_t>(timeoutUs / 1'000'000),
                             static_cast<long>(timeoutUs % 1'000'000) * 1000};
      const int ready = ppoll(fds, 2, timeoutUs < 0 ? nullptr : &timeout, nullptr);
      if (ready < 0) {
        if (errno == EINTR) continue;
        SetLastErrorFromErrno();
        return {WatchEnd::kGone};
      }
      // The line went away (adapter unplugged, the other end of a pty closed).
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        SetLastErrorFromCode(EIO);
        return {WatchEnd::kGone};
      }
      if ((fds[1].revents & POLLIN) != 0) return {WatchEnd::kOther};
      if (ready == 0) continue;  // a held event's time is up: decided above
      if ((fds[0].revents & POLLIN) == 0) continue;
      // Readable: the first byte starts a hold; while one is on, the
      // expected bytes are in; without read-ahead, any byte is news.
      // A reader that took the line meanwhile is watching these bytes.
      lock.lock();
      if (awaitingFirstByte_ || (!reader && ReaderHasLine(NowUs()))) continue;
      dataDue = true;
    }
    uint32_t events = 0;
    if (dataDue) {
      EndHold();
      if (TakeIn()) events |= platform::kEvRxChar;
    }
    if (LineErrorSeen()) events |= platform::kEvErr;
    events &= wanted;
    if (events != 0) return {WatchEnd::kEvents, events};
  }
}

bool TermiosPort::WaitEvent(uint32_t* mask) {
  *mask = 0;
#ifdef PR_SET_TIMERSLACK
  // A hold ends at a moment computed to the microsecond; the default timer
  // slack would let it end up to 50 us late.
  if (!slackSet_) {
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    slackSet_ = true;
  }
#endif
  const WatchEnd end = WatchLine(mask_.load(), wakeRead_, false, -1);
  switch (end.kind) {
    case WatchEnd::kGone:
      return false;
    case WatchEnd::kEvents:
      *mask = end.events;
      return true;
    default:
      // The mask changed, the reader left bytes, needs fewer or handed the
      // line back: mask 0, and the caller waits again.
      DrainWake();
      return true;
  }
}

// The reader's thread as it was before its watch: its block hook and its
// own timer slack.
void TermiosPort::RestoreReaderThread() {
  (void)posixwin::SetBlockHook(previousHook_);
#ifdef PR_SET_TIMERSLACK
  if (readerSlack_ > 1) (void)prctl(PR_SET_TIMERSLACK, readerSlack_, 0UL, 0UL, 0UL);
#endif
}

void TermiosPort::EndReaderWatch() {
  if (readerDepth_ == 0 || --readerDepth_ > 0) return;
  readerScope_ = false;
  RestoreReaderThread();
  // An event thread that stood aside watches the line again from now on.
  if (wakeOwed_.exchange(false) || eventThreadAside_.load()) Wake();
}

// The reader's wait: its own message queue and the line in one poll().
platform::SerialPort::ReaderWait TermiosPort::WaitAsReader(uint32_t tick) {
  if (fd_ < 0 || readerDepth_ == 0 || lineGone_.load()) return {};
  ReaderWait result;
  result.watched = true;
  const int32_t remainingMs = static_cast<int32_t>(tick - MonotonicTickCount());
  if (remainingMs <= 0) return result;
  if (posixwin::BeginPolledWait(readerWakeWrite_)) {
    const int64_t deadline = NowUs() + int64_t{remainingMs} * 1000;
    readerWaitEndsUs_ = deadline;
    readerWaiting_ = true;
    // Not the event thread's mask: that is set when the thread first runs,
    // which may be after this wait has begun.
    const WatchEnd end = WatchLine(platform::kEvRxChar | platform::kEvErr, readerWakeRead_, true, deadline);
    readerLeftUs_ = NowUs();
    readerWaiting_ = false;
    if (end.kind == WatchEnd::kEvents) result.events = end.events;
    if (end.kind == WatchEnd::kGone) {
      // The event thread finds out for itself and ends; the reader waits
      // as it did before it watched.
      lineGone_ = true;
      Wake();
    }
  }
  if (posixwin::EndPolledWait()) {
    char byte;
    (void)!read(readerWakeRead_, &byte, 1);
  }
  return result;
}

// The reader's side of the input queue: no system call, only what the
// event thread has taken in. A reader that finds it empty, or empties it,
// is to be told of the next bytes; one that leaves bytes behind is told of
// them again, and one that reads from a full queue lets the event thread
// take bytes in again.
int32_t TermiosPort::QueuedBytes() {
  std::lock_guard<std::mutex> lock(inMutex_);
  if (in_.empty()) reported_ = false;
  return static_cast<int32_t>(in_.size());
}

int32_t TermiosPort::Read(uint8_t* buffer, int32_t n) {
  if (fd_ < 0 || n < 0) return -1;
  bool leftBehind = false;
  size_t take = 0;
  {
    std::lock_guard<std::mutex> lock(inMutex_);
    const size_t sizeBefore = in_.size();
    take = std::min(sizeBefore, static_cast<size_t>(n));
    std::copy_n(in_.begin(), take, buffer);
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(take));
    leftBehind = (!in_.empty() && reported_) || sizeBefore >= kMaxQueued;
    reported_ = false;
  }
  // A reader that has the line sees what it left at its next wait.
  if (leftBehind) WakeUnlessReaderWatches();
  return static_cast<int32_t>(take);
}

bool TermiosPort::WaitWritable(int64_t deadline, bool limited) {
  for (;;) {
    int timeout = -1;
    if (limited) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      timeout = static_cast<int>(left);
    }
    pollfd out{fd_, POLLOUT, 0};
    const int ready = poll(&out, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

WriteResult TermiosPort::Write(const uint8_t* buffer, int32_t n) {
  using Kind = WriteResult::Kind;
  if (fd_ < 0 || n < 0) return {Kind::kError, 0};
  const bool limited = writeTimeoutPerByteMs_ != 0;
  const int64_t deadline = NowMs() + static_cast<int64_t>(n) * writeTimeoutPerByteMs_;
  int32_t done = 0;
  while (done < n) {
    const ssize_t put = write(fd_, buffer + done, static_cast<size_t>(n - done));
    if (put > 0) {
      done += static_cast<int32_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      SetLastErrorFromErrno();
      return {Kind::kError, done};
    }
    if (!WaitWritable(deadline, limited)) return {Kind::kTimeout, done};
  }
  // The reader writes and then waits: on a line that takes each byte's
  // wire time its wait need not watch the line before these bytes have had
  // theirs (and half a character for the echo's way back). Whether the line
  // does is seen at a write's first look at what came back: a line that
  // returned the whole echo at once (a simulated bus) is not made to wait.
  if (readerDepth_ > 0 && n > 0) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (canHold_ && echoesTakeWireTime_) {
      quietUntilUs_ = NowUs() + int64_t{n} * charUs_ + charUs_ / 2;
    } else {
      lastWriteSize_ = n;
    }
  }
  return {Kind::kDone, done};
}

void TermiosPort::ReaderLoopsElsewhere(uintptr_t port) { reinterpret_cast<TermiosPort*>(port)->EndLease(); }

bool TermiosPort::Close() {
  // Closed inside its reader's watch (from a callback, on the reader's
  // thread): the thread's loops no longer concern this port, and its timer
  // slack is its own again.
  if (readerDepth_ > 0) {
    readerDepth_ = 0;
    RestoreReaderThread();
  }
  if (fd_ < 0) return true;
  // The exclusive flag of a pseudo-terminal outlives this descriptor.
  (void)ioctl(fd_, TIOCNXCL);
  const int result = close(fd_);
  if (result != 0) SetLastErrorFromErrno();
  fd_ = -1;
  for (int end : {wakeRead_, wakeWrite_, readerWakeRead_, readerWakeWrite_}) close(end);
  return result == 0;
}

bool MakeWakePipe(int ends[2]) {
  if (pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    fcntl(ends[i], F_SETFL, fcntl(ends[i], F_GETFL) | O_NONBLOCK);
    fcntl(ends[i], F_SETFD, FD_CLOEXEC);
  }
  return true;
}

}  // namespace

std::string ComDevicePath(int portNumber) {
  const std::string link = ZevaPrefix() + "/dosdevices/com" + std::to_string(portNumber);
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) return link;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::unique_ptr<platform::SerialPort> OpenSerialDevice(const std::string& path, const platform::SerialConfig& config,
                                                       OpenStatus* status) {
  *status = OpenStatus::kCannotOpen;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  if (!TakeExclusive(fd)) {
    close(fd);
    return nullptr;
  }
  if (!ConfigureLine(fd, config)) {
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    *status = OpenStatus::kConfigFailed;
    return nullptr;
  }
  LowerModemLines(fd);
  int wake[2];
  int readerWake[2];
  if (!MakeWakePipe(wake)) {
    SetLastErrorFromErrno();
    (void)ioctl(fd, TIOCNXCL);
    close(fd);
    return nullptr;
  }
  if (!MakeWakePipe(readerWake)) {
    SetLastErrorFromErrno();
    (void)ioctl(fd, TIOCNXCL);
    for (int open : {fd, wake[0], wake[1]}) close(open);
    return nullptr;
  }
  tcflush(fd, TCIOFLUSH);
  *status = OpenStatus::kOk;
  return std::make_unique<TermiosPort>(fd, wake, readerWake, config);
}

std::unique_ptr<platform::SerialPort> OpenSerialPort(int portNumber, const platform::SerialConfig& config,
                                                     OpenStatus* status) {
  return OpenSerialDevice(ComDevicePath(portNumber), config, status);
}

}  // namespace zeva::posix
