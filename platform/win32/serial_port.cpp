#include "platform/win32/serial_port.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/win32/clock.h"
#include "platform/win32/last_error.h"
#include "platform/win32/windows_api.h"

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
// Aborted reads in a row, without a stop or a purge asked, after which the
// line counts as lost (an adapter that went away, a port that refuses).
constexpr int kMaxAbortedReads = 5;
// The most the event thread asks for in one read.
constexpr int32_t kReadChunk = 256;
// Line errors the client hears of (the event EV_ERR stands for).
constexpr DWORD kLineErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

// The event thread watches the line with an overlapped read of the bytes
// the reader still needs (ExpectBytes; at least one), not with
// WaitCommEvent: the read ends when they are in, or once the line has been
// quiet for the port's interval time-out (about one and a half characters)
// after a first byte, so a data event means a frame's worth of bytes where
// the reader can tell how many it needs. The bytes go into the port's own
// input queue, from which the client's reads are served; the client never
// reads the device itself, so the bytes keep their order.
class Win32SerialPort : public platform::SerialPort {
 public:
  explicit Win32SerialPort(HANDLE handle)
      : handle_(handle),
        stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        readDone_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Win32SerialPort() override {
    Close();
    if (stop_ != nullptr) CloseHandle(stop_);
    if (readDone_ != nullptr) CloseHandle(readDone_);
  }

  bool ok() const { return stop_ != nullptr && readDone_ != nullptr && read_.ok() && write_.ok(); }

  // Setting the mask to 0 also raises the stop event, which ends the event
  // thread's read.
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
  void RenewDataEvent() override { ReadDone(); }

  // At most one data event is out unread: while one is, the thread waits
  // for the reader (or the stop) instead of reading on. Bytes a read left
  // behind, and bytes still unread after kReReportMs, are reported again.
  SerialStatus WaitEvent(uint32_t* mask) override {
    return WaitForEvent(mask) ? SerialStatus::Ok() : SerialStatus::Failed();
  }

  int32_t QueuedBytes() override {
    const int32_t queued = Buffered();
    if (queued == 0) ReadDone();
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
    if (!queue_.empty()) ReadDone();
    return SerialStatus::Ok(taken);
  }

  // The reader parsed what it read: the event thread's next read asks for
  // what it still needs.
  void ExpectBytes(int32_t count) override {
    expected_ = count;
    if (reported_.load()) ReadDone();
  }

  SerialStatus Write(const uint8_t* buffer, int32_t n) override {
    if (n < 0) return SerialStatus::Failed();
    // Its echo comes whole: the event thread's read asks for all of it. A
    // read already out for fewer (issued after a purge, before this write)
    // is cancelled and issued anew; nothing of this write can be in it yet.
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

  // Bytes the event thread's read holds are from before the purge too: its
  // read is cancelled and its bytes dropped, and then both queues cleared.
  void Purge() override {
    {
      std::lock_guard<std::mutex> lock(issueMutex_);
      ++purges_;
      if (readPending_ && CancelIoEx(handle_, read_.record())) {
        DWORD unused = 0;
        GetOverlappedResult(handle_, read_.record(), &unused, TRUE);
      }
    }
    PurgeComm(handle_, kPurgeAll);
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.clear();
  }

  SerialStatus Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return SerialStatus::Ok();
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle)) {
      CaptureLastError();
      return SerialStatus::Failed();
    }
    return SerialStatus::Ok();
  }

 private:
  bool WaitForEvent(uint32_t* mask) {
    *mask = 0;
    if (lineLost_) return false;
    for (;;) {
      while (reported_.load()) {
        const auto left = static_cast<int32_t>(reportedAt_ + kReReportMs - TickCountNow());
        if (left <= 0) {
          if (Buffered() > 0) return Report(mask);
          reported_ = false;
          break;
        }
        HANDLE handles[2] = {stop_, readDone_};
        if (WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(left)) == WAIT_OBJECT_0) return true;
      }
      if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return true;
      if (Buffered() > 0) return Report(mask);
      uint32_t events = ReadAhead();
      if (lineLost_) {
        *mask = platform::kEvErr;
        return true;
      }
      events &= mask_.load();
      if ((events & platform::kEvRxChar) != 0) {
        reported_ = true;
        reportedAt_ = TickCountNow();
      }
      if (events != 0) {
        *mask = events;
        return true;
      }
    }
  }

  // One read of what the reader still needs, to its end or the stop: the
  // data event for bytes taken in, the error event for line errors seen with
  // them. Reads that keep failing lose the line.
  uint32_t ReadAhead() {
    int32_t want = std::max(expected_.load(), echoOwed_.load());
    want = std::clamp(want, int32_t{1}, kReadChunk);
    DWORD got = 0;
    uint64_t purges = 0;
    uint64_t reissues = 0;
    bool pending = false;
    bool finished = false;
    {
      std::lock_guard<std::mutex> lock(issueMutex_);
      purges = purges_;
      reissues = reissues_;
      pendingWant_ = want;
      finished = ReadFile(handle_, chunk_, static_cast<DWORD>(want), &got, read_.Fresh()) != FALSE;
      pending = !finished && GetLastError() == ERROR_IO_PENDING;
      readPending_ = pending;
    }
    bool aborted = !finished && !pending;
    if (pending) {
      HANDLE handles[2] = {read_.event(), stop_};
      if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        CancelIoEx(handle_, read_.record());
      }
      // `chunk_` belongs to the read until it has completed.
      if (!GetOverlappedResult(handle_, read_.record(), &got, TRUE)) aborted = true;
      std::lock_guard<std::mutex> lock(issueMutex_);
      readPending_ = false;
    }
    const bool stopped = WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
    bool purged = false;
    bool reissued = false;
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      std::lock_guard<std::mutex> issue(issueMutex_);
      purged = purges != purges_;
      reissued = reissues != reissues_;
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
    if (got > 0 || stopped || purged || reissued) {
      abortedReads_ = 0;
      return events;
    }
    // A read that ended with nothing, neither stopped nor purged: with no
    // total time-out only a failing line does that. After a few in a row
    // the line is lost: the client hears of it (the next event is EV_ERR)
    // and then the thread ends.
    if (!aborted) SetLastError(ERROR_OPERATION_ABORTED);
    if (++abortedReads_ >= kMaxAbortedReads) {
      CaptureLastError();
      lineLost_ = true;
    }
    return events;
  }

  bool Report(uint32_t* mask) {
    reported_ = true;
    reportedAt_ = TickCountNow();
    *mask = platform::kEvRxChar;
    return true;
  }

  // The reader has answered the data event out.
  void ReadDone() {
    reported_ = false;
    SetEvent(readDone_);
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
  HANDLE readDone_;  // auto-reset: the reader answered
  std::atomic<uint32_t> mask_{0};
  std::atomic<int32_t> expected_{1};
  std::atomic<int32_t> echoOwed_{0};
  std::atomic<bool> reported_{false};
  // The port's input queue: what the event thread read and the client has
  // not.
  std::mutex queueMutex_;
  std::vector<uint8_t> queue_;
  // Issuing the event thread's read, and a purge or a write cancelling it,
  // one at a time: a read is either cancelled or issued after.
  std::mutex issueMutex_;
  uint64_t purges_ = 0;
  uint64_t reissues_ = 0;  // reads cancelled by a write, to ask for its echo
  int32_t pendingWant_ = 0;
  bool readPending_ = false;
  uint8_t chunk_[kReadChunk] = {};  // the event thread's read
  DWORD reportedAt_ = 0;  // event thread only
  int abortedReads_ = 0;  // event thread only
  bool lineLost_ = false;  // event thread only
  Overlapped read_;
  Overlapped write_;
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
