#include "platform/win32/serial_port.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/reader_lease.h"
#include "platform/win32/clock.h"
#include "platform/win32/last_error.h"
#include "platform/win32/windows_api.h"
// After the system header: the timer period (timeBeginPeriod).
#include <mmsystem.h>

namespace zeva::win32 {
namespace {

using platform::SerialStatus;

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// One overlapped operation's record with its own manual-reset event. The
// event thread's read and the client's write each have one, because they
// are in progress at the same time.
class Overlapped {
 public:
  Overlapped() { ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (ov_.hEvent != nullptr) CloseHandle(ov_.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  bool ok() const { return ov_.hEvent != nullptr; }
  OVERLAPPED* Fresh() {
    HANDLE event = ov_.hEvent;
    ov_ = OVERLAPPED{};
    ov_.hEvent = event;
    ResetEvent(event);
    return &ov_;
  }
  HANDLE event() const { return ov_.hEvent; }
  OVERLAPPED* record() { return &ov_; }

 private:
  OVERLAPPED ov_{};
};

// A data event that the reader has not followed with a read is said again
// after this long while bytes still wait: a lost event (a post that failed,
// a window that changed) must not silence the port for good.
constexpr DWORD kReReportMs = platform::kDataEventRepeatMs;
// Reads in a row that ended with nothing, without a purge or a write's
// cancel, after which the line counts as lost (an adapter that went away, a
// port that refuses).
constexpr int kMaxEmptyReads = 5;
// The most one read asks for.
constexpr int32_t kReadChunk = 256;
// How long a read that asks for more than one byte may wait for its first
// byte with the fine timer period still asked for.
constexpr DWORD kFinePeriodIdleMs = 1000;
// Line errors the client hears of (the event EV_ERR stands for).
constexpr DWORD kLineErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

// The line is watched with one overlapped read of the bytes the reader
// still needs (ExpectBytes; at least one), not with WaitCommEvent: the read
// ends when they are in, or once the line has been quiet for the port's
// interval time-out (about one and a half characters) after a first byte,
// so a data event means a frame's worth of bytes where the reader can tell
// how many it needs. The bytes go into the port's own input queue, from
// which the client's reads are served; the client never reads the device
// itself, so the bytes keep their order.
//
// Whoever watches the line waits on that read: the event thread, or the
// client thread while it waits in the driver (WaitAsReader). The read stays
// out across the hand-over, so a watch that ends costs no cancel and no new
// read; whichever of the two takes a finished read (under watchMutex_)
// issues the next one when it next watches. The event thread stands aside
// while ReaderLease says the reader has the line.
class Win32SerialPort final : public platform::SerialPort, private platform::LeaseHost {
 public:
  explicit Win32SerialPort(HANDLE handle)
      : handle_(handle),
        stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Win32SerialPort() override {
    Close();
    if (stop_ != nullptr) CloseHandle(stop_);
    if (wake_ != nullptr) CloseHandle(wake_);
  }

  bool ok() const { return stop_ != nullptr && wake_ != nullptr && read_.ok() && write_.ok(); }

  // Setting the mask to 0 also raises the stop event, which ends the event
  // thread's wait; its read stays out until the port purges or closes.
  SerialStatus SetEventMask(uint32_t mask) override {
    mask_ = mask;
    if (mask == 0) {
      SetEvent(stop_);
    } else {
      ResetEvent(stop_);
    }
    if (!SetCommMask(handle_, mask)) {
      CaptureLastError();
      return SerialStatus::Failed();
    }
    return SerialStatus::Ok();
  }

  // The client window changed: the event out may have gone to the old one.
  void RenewDataEvent() override { EventAnswered(); }

  // At most one data event is out unread: while one is, the thread waits
  // for the reader (or the stop) instead of reading on. Bytes a read left
  // behind, and bytes still unread after kReReportMs, are reported again.
  SerialStatus WaitEvent(uint32_t* mask) override {
    return WaitForEvent(mask) ? SerialStatus::Ok() : SerialStatus::Failed();
  }

  int32_t QueuedBytes() override {
    const int32_t queued = Buffered();
    if (queued == 0) EventAnswered();
    return queued;
  }

  // From the port's own queue; never waits.
  SerialStatus Read(uint8_t* buffer, int32_t n) override {
    if (n <= 0) return SerialStatus::Ok(0);
    std::lock_guard<std::mutex> lock(queueMutex_);
    const auto taken = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(n), queue_.size()));
    std::copy_n(queue_.begin(), taken, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + taken);
    // Bytes left behind are reported again; a read that took them all is
    // answered by the reader's next word (ExpectBytes, or finding the queue
    // empty), after it has parsed them and knows what it needs next.
    if (!queue_.empty()) EventAnswered();
    return SerialStatus::Ok(taken);
  }

  // The reader parsed what it read: the next read asks for what it still
  // needs.
  void ExpectBytes(int32_t count) override {
    expected_ = count;
    if (reported_.load()) EventAnswered();
  }

  void BeginReaderWatch() override { lease_.Begin(); }
  void EndReaderWatch() override { lease_.End(); }

  // The reader's wait: the line's read, its own message queue and its
  // deadline in one wait.
  ReaderWait WaitAsReader(uint32_t tick) override {
    if (handle_ == INVALID_HANDLE_VALUE || !lease_.MayWait()) return {};
    ReaderWait result;
    result.watched = true;
    const int64_t now = NowUs();
    const int64_t deadline = platform::TickReachedUs(now, static_cast<uint32_t>(now / 1000), tick);
    if (deadline <= now) return result;
    lease_.WaitBegins(deadline);
    result.events = WatchAsReader(deadline);
    lease_.WaitEnds();
    return result;
  }

  SerialStatus Write(const uint8_t* buffer, int32_t n) override {
    if (n < 0) return SerialStatus::Failed();
    // Its echo comes whole: the line's read asks for all of it. A read
    // already out for fewer (issued after a purge, before this write) is
    // cancelled and issued anew; nothing of this write can be in it yet.
    echoOwed_ = n;
    {
      std::lock_guard<std::mutex> lock(issueMutex_);
      if (readPending_ && pendingWant_ < n && CancelIoEx(handle_, read_.record())) ++reissues_;
    }
    DWORD count = 0;
    OVERLAPPED* ov = write_.Fresh();
    if (WriteFile(handle_, buffer, static_cast<DWORD>(n), &count, ov)) {
      return SerialStatus::Ok(static_cast<int32_t>(count));
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      ClearErrors();
      return SerialStatus::Failed();
    }
    // The write time-out ends the operation with fewer bytes than asked.
    int32_t total = 0;
    while (!GetOverlappedResult(handle_, ov, &count, TRUE)) {
      if (GetLastError() != ERROR_IO_INCOMPLETE) {
        ClearErrors();
        break;
      }
      total += static_cast<int32_t>(count);
    }
    total += static_cast<int32_t>(count);
    if (total == n) return SerialStatus::Ok(total);
    return SerialStatus::Timeout(total);
  }

  // Bytes the line's read holds are from before the purge too: the read is
  // cancelled, and whoever takes it drops its bytes; then both queues are
  // cleared.
  void Purge() override {
    {
      std::lock_guard<std::mutex> lock(issueMutex_);
      ++purges_;
      CancelRead();
    }
    PurgeComm(handle_, kPurgeAll);
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
  }

  // Closed inside its reader's watch (from a callback, on the reader's
  // thread) the watch no longer concerns this port. The line's read must
  // have ended before its buffer can go.
  SerialStatus Close() override {
    lease_.Abandon();
    if (handle_ == INVALID_HANDLE_VALUE) return SerialStatus::Ok();
    {
      std::lock_guard<std::mutex> lock(issueMutex_);
      CancelRead();
      readPending_ = false;
    }
    FinePeriod(false);
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle)) {
      CaptureLastError();
      return SerialStatus::Failed();
    }
    return SerialStatus::Ok();
  }

 private:
  // LeaseHost. The client's own message loops cannot be seen in Win32, so
  // such a loop inside a watch is looked after by the lease's time alone.
  int64_t LeaseNowUs() override { return NowUs(); }
  void WakeEventThread() override { SetEvent(wake_); }
  void EnterReaderThread() override {}
  void LeaveReaderThread() override {}

  bool Stopped() const { return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }

  // Sleeps until `ms` have passed, the stop, or a wake-up.
  void SleepUnlessWoken(DWORD ms) {
    HANDLE handles[2] = {stop_, wake_};
    WaitForMultipleObjects(2, handles, FALSE, ms);
  }

  bool WaitForEvent(uint32_t* mask) {
    *mask = 0;
    for (;;) {
      // A lost line is reported once (EV_ERR); then the thread ends.
      if (lineLost_.load()) {
        if (lossReported_) return false;
        lossReported_ = true;
        *mask = platform::kEvErr;
        return true;
      }
      if (Stopped()) return true;
      // The reader watches the line: until its lease could have run out.
      const int64_t asideUs = lease_.StandAside(NowUs());
      if (asideUs >= 0) {
        SleepUnlessWoken(static_cast<DWORD>((asideUs + 999) / 1000));
        continue;
      }
      if (reported_.load()) {
        const auto left = static_cast<int32_t>(reportedAt_.load() + kReReportMs - TickCountNow());
        if (left <= 0) {
          if (Buffered() > 0) return Report(mask);
          reported_ = false;
          continue;
        }
        // Set before reported_ is read again; the reader clears reported_
        // before it reads this, so one of the two sees the other.
        awaitingAnswer_ = true;
        if (reported_.load()) SleepUnlessWoken(static_cast<DWORD>(left));
        awaitingAnswer_ = false;
        continue;
      }
      if (Buffered() > 0) return Report(mask);
      const uint32_t events = WatchAsEventThread() & mask_.load();
      if (events == 0) continue;
      if ((events & platform::kEvRxChar) != 0) MarkReported();
      *mask = events;
      return true;
    }
  }

  // The event thread's watch: the line's read (issued when none is out) to
  // its end, the stop, or a wake-up. The events of a read it took.
  uint32_t WatchAsEventThread() {
    DWORD idleMs = INFINITE;
    {
      std::lock_guard<std::mutex> lock(watchMutex_);
      if (!IssueRead()) return 0;
      if (finePeriod_) idleMs = kFinePeriodIdleMs;
    }
    HANDLE handles[3] = {read_.event(), stop_, wake_};
    const DWORD woke = WaitForMultipleObjects(3, handles, FALSE, idleMs);
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (woke == WAIT_TIMEOUT) {
      // No byte for a while: no hold to time.
      FinePeriod(false);
      return 0;
    }
    if (woke != WAIT_OBJECT_0) return 0;
    // A reader that took the line meanwhile is waiting on this read too.
    if (!ReadPending() || lease_.ReaderHasLine(NowUs())) return 0;
    return TakeRead();
  }

  // The reader's watch until `deadline`: the events due, or 0 for input in
  // its queue, the time, or a line that is gone.
  uint32_t WatchAsReader(int64_t deadline) {
    constexpr uint32_t kWanted = platform::kEvRxChar | platform::kEvErr;
    for (;;) {
      HANDLE read = nullptr;
      int64_t until = deadline;
      {
        std::lock_guard<std::mutex> lock(watchMutex_);
        if (lineLost_.load()) {
          lease_.LineGone();
          return 0;
        }
        if (Buffered() > 0) {
          // Bytes not yet reported, or reported long ago (the event may
          // have been lost): reported now. Else the event is in the queue.
          const uint32_t repeatAt = reportedAt_.load() + kReReportMs;
          if (!reported_.load() || static_cast<int32_t>(TickCountNow() - repeatAt) >= 0) {
            MarkReported();
            return platform::kEvRxChar;
          }
          const int64_t nowUs = NowUs();
          until = std::min(deadline, platform::TickReachedUs(nowUs, static_cast<uint32_t>(nowUs / 1000), repeatAt));
        } else {
          if (!IssueRead()) continue;  // counted; a line that keeps refusing is lost
          read = read_.event();
        }
      }
      const DWORD woke = WaitUntilUs(until, read != nullptr ? 1 : 0, &read);
      if (woke == WAIT_TIMEOUT && until < deadline) continue;
      if (read == nullptr || woke != WAIT_OBJECT_0) return 0;
      std::lock_guard<std::mutex> lock(watchMutex_);
      // The event thread may have taken it just before this wait began; it
      // neither takes nor issues one while the reader waits, so a read
      // still out here is the one that ended.
      if (!ReadPending()) continue;
      const uint32_t events = TakeRead() & kWanted;
      if (events == 0) continue;
      if ((events & platform::kEvRxChar) != 0) MarkReported();
      return events;
    }
  }

  // Cancels the line's read, if one is out, and waits until it has ended
  // (issueMutex_ held); whoever takes it finds it ended.
  void CancelRead() {
    if (!readPending_) return;
    CancelIoEx(handle_, read_.record());
    DWORD unused = 0;
    GetOverlappedResult(handle_, read_.record(), &unused, TRUE);
  }

  bool ReadPending() {
    std::lock_guard<std::mutex> lock(issueMutex_);
    return readPending_;
  }

  // Issues the line's read unless one is out (watchMutex_ held): false when
  // the system refused it, which counts as an empty read.
  bool IssueRead() {
    int32_t want = std::max(expected_.load(), echoOwed_.load());
    want = std::clamp(want, int32_t{1}, kReadChunk);
    bool issued = false;
    {
      std::lock_guard<std::mutex> lock(issueMutex_);
      if (readPending_) return true;
      readPurges_ = purges_;
      readReissues_ = reissues_;
      pendingWant_ = want;
      DWORD got = 0;
      // A read that finished at once has set its event and its record too.
      issued = ReadFile(handle_, chunk_, static_cast<DWORD>(want), &got, read_.Fresh()) != FALSE ||
               GetLastError() == ERROR_IO_PENDING;
      readPending_ = issued;
    }
    if (issued) {
      FinePeriod(want > 1);
    } else {
      EmptyRead(true);
    }
    return issued;
  }

  // Takes the line's read, which has ended (watchMutex_ held): its bytes
  // into the queue, unless a purge came after it was issued; the data event
  // for them and the error event for line errors seen with them.
  uint32_t TakeRead() {
    DWORD got = 0;
    // `chunk_` belongs to the read until it has completed.
    const bool failed = !GetOverlappedResult(handle_, read_.record(), &got, TRUE);
    bool purged = false;
    bool reissued = false;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      std::lock_guard<std::mutex> issue(issueMutex_);
      purged = readPurges_ != purges_;
      reissued = readReissues_ != reissues_;
      readPending_ = false;
      // A read goes out only once the queue is empty, so it holds at most
      // one read's bytes.
      if (!purged) queue_.insert(queue_.end(), chunk_, chunk_ + got);
    }
    // Less echo owed; a write meanwhile owes its own whole echo.
    int32_t owed = echoOwed_.load();
    while (owed > 0 && !echoOwed_.compare_exchange_weak(owed, std::max(0, owed - static_cast<int32_t>(got)))) {
    }
    uint32_t events = 0;
    DWORD errors = 0;
    ClearCommError(handle_, &errors, nullptr);
    if ((errors & kLineErrors) != 0) events |= platform::kEvErr;
    if (got > 0 && !purged) events |= platform::kEvRxChar;
    if (got > 0 || purged || reissued) {
      emptyReads_ = 0;
    } else {
      EmptyRead(failed);
    }
    return events;
  }

  // A read that ended with nothing, neither purged nor cancelled by a
  // write: with no total time-out only a failing line does that. After a
  // few in a row the line is lost: the event thread reports it and ends.
  void EmptyRead(bool failed) {
    if (!failed) SetLastError(ERROR_OPERATION_ABORTED);
    if (++emptyReads_ >= kMaxEmptyReads && !lineLost_.load()) {
      CaptureLastError();
      lineLost_ = true;
    }
  }

  // While a read asks for more than one byte, the line's interval time-out
  // may end it; the system times that on its timer, coarse (15.6 ms) unless
  // a program asks for a finer one. The port asks for 1 ms while such a
  // read is out, and no longer: once another read goes out, the port
  // closes, or the line has been quiet for kFinePeriodIdleMs (the bytes
  // awaited are not coming; a hold of bytes that still come is then timed
  // coarsely). watchMutex_ held, or the closing thread.
  void FinePeriod(bool on) {
    if (on == finePeriod_) return;
    finePeriod_ = on;
    if (on) {
      timeBeginPeriod(1);
    } else {
      timeEndPeriod(1);
    }
  }

  bool Report(uint32_t* mask) {
    MarkReported();
    *mask = platform::kEvRxChar;
    return true;
  }

  void MarkReported() {
    reportedAt_ = TickCountNow();
    reported_ = true;
  }

  // The reader has answered the data event out. An event thread waiting
  // for that answer looks again, unless the reader has the line: then it
  // is told when the watch ends.
  void EventAnswered() {
    reported_ = false;
    if (awaitingAnswer_.load()) lease_.WakeUnlessReaderHasLine();
  }

  int32_t Buffered() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return static_cast<int32_t>(queue_.size());
  }

  void ClearErrors() {
    DWORD errors = 0;
    ClearCommError(handle_, &errors, nullptr);
  }

  HANDLE handle_;
  HANDLE stop_;
  HANDLE wake_;  // auto-reset: the event thread is to look again
  std::atomic<uint32_t> mask_{0};
  std::atomic<int32_t> expected_{1};
  std::atomic<int32_t> echoOwed_{0};
  std::atomic<bool> reported_{false};
  std::atomic<uint32_t> reportedAt_{0};
  std::atomic<bool> awaitingAnswer_{false};  // the event thread waits for the reader
  // The port's input queue: what the line's reads took in and the client
  // has not read.
  std::mutex queueMutex_;
  std::vector<uint8_t> queue_;
  // Who takes a finished read and issues the next: one watcher at a time.
  std::mutex watchMutex_;
  int emptyReads_ = 0;       // watchMutex_
  bool finePeriod_ = false;  // watchMutex_, or the closing thread
  std::atomic<bool> lineLost_{false};
  bool lossReported_ = false;  // event thread only
  // Issuing the line's read, and a purge or a write cancelling it, one at
  // a time: a read is either cancelled or issued after.
  std::mutex issueMutex_;
  uint64_t purges_ = 0;
  uint64_t reissues_ = 0;  // reads cancelled by a write, to ask for its echo
  uint64_t readPurges_ = 0;    // the counts when the read out was issued
  uint64_t readReissues_ = 0;
  int32_t pendingWant_ = 0;
  bool readPending_ = false;  // issued and not yet taken
  uint8_t chunk_[kReadChunk] = {};  // the line's read
  Overlapped read_;
  Overlapped write_;
  platform::ReaderLease lease_{*this};
};

// The line as the RS-485 adapter needs it: even parity, one stop bit, no
// flow control and no special characters; the rest as the port reports.
void ConfigureLine(DCB& dcb, const platform::SerialConfig& config) {
  dcb.BaudRate = static_cast<DWORD>(config.bps);
  dcb.ByteSize = config.byteSize;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fParity = TRUE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.XonChar = 0;
  dcb.XoffChar = 0;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
}

}  // namespace

std::unique_ptr<platform::SerialPort> OpenSerialPort(int portNumber, const platform::SerialConfig& config,
                                                     platform::SerialStatus* status) {
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    CaptureLastError();
    *status = SerialStatus::Of(SerialStatus::Code::kCannotOpen);
    return nullptr;
  }
  auto port = std::make_unique<Win32SerialPort>(handle);
  if (!port->ok()) {
    CaptureLastError();
    *status = SerialStatus::Of(SerialStatus::Code::kCannotOpen);
    return nullptr;
  }
  SetCommMask(handle, EV_RXCHAR);
  SetupComm(handle, static_cast<DWORD>(config.rxQueue), static_cast<DWORD>(config.txQueue));
  PurgeComm(handle, kPurgeAll);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) {
    *status = SerialStatus::Of(SerialStatus::Code::kConfigFailed);
    return nullptr;
  }
  ConfigureLine(dcb, config);
  if (!SetCommState(handle, &dcb)) {
    *status = SerialStatus::Of(SerialStatus::Code::kConfigFailed);
    return nullptr;
  }
  // Reads end once the line has been quiet for about one and a half
  // characters after a byte (never less than the millisecond the system
  // counts in), or when they have what they asked for; there is no total
  // limit, so a read on an idle line waits for its first byte.
  const int64_t charUs = 11 * int64_t{1000000} / std::max<int32_t>(config.bps, 1);
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = static_cast<DWORD>(std::max<int64_t>(1, (3 * charUs / 2 + 999) / 1000));
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = config.writeTimeoutPerByteMs;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(handle, &timeouts);
  *status = SerialStatus::Ok();
  return port;
}

}  // namespace zeva::win32
