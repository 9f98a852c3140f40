#include "platform/win32/serial_port.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/win32/clock.h"
#include "platform/win32/last_error.h"
#include "platform/win32/windows_api.h"

namespace zeva::win32 {
namespace {

using platform::SerialStatus;

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// One overlapped operation's record with its own manual-reset event. The
// event thread's wait, the client's read and the client's write each have
// one, because they are in progress at the same time.
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

 private:
  OVERLAPPED ov_{};
};

// A data event that the reader has not followed with a read is said again
// after this long while bytes still wait: a lost event (a post that failed,
// a window that changed) must not silence the port for good.
constexpr DWORD kReReportMs = platform::kDataEventRepeatMs;
// Aborted waits in a row, without a stop asked, after which the line counts
// as lost (an adapter that went away, a port that refuses to wait).
constexpr int kMaxAbortedWaits = 5;

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

  bool ok() const { return stop_ != nullptr && readDone_ != nullptr && wait_.ok() && read_.ok() && write_.ok(); }

  // Setting the mask to 0 also raises the stop event, so a pending wait ends
  // even where the system would not end it for the mask change alone.
  SerialStatus SetEventMask(uint32_t mask) override {
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
  // for the read (or the stop) instead of reporting again, also where the
  // system reports the same waiting bytes at every wait. Bytes a read left
  // behind, and bytes still unread after kReReportMs, are reported again.
  SerialStatus WaitEvent(uint32_t* mask) override {
    return WaitForEvent(mask) ? SerialStatus::Ok() : SerialStatus::Failed();
  }

  int32_t QueuedBytes() override {
    const int32_t queued = Queued();
    if (queued == 0) ReadDone();
    return queued;
  }

  // Reads return at once with what is queued (the port's time-outs say so).
  // One at a time: the event thread's draining and the client's receive
  // loop share the read record.
  SerialStatus Read(uint8_t* buffer, int32_t n) override {
    if (n <= 0) return SerialStatus::Ok(0);
    std::lock_guard<std::mutex> lock(readMutex_);
    DWORD count = 0;
    OVERLAPPED* ov = read_.Fresh();
    if (ReadFile(handle_, buffer, static_cast<DWORD>(n), &count, ov)) {
      ReadDone();
      return SerialStatus::Ok(static_cast<int32_t>(count));
    }
    if (GetLastError() != ERROR_IO_PENDING) {
      ClearErrors();
      return SerialStatus::Ok(0);
    }
    while (!GetOverlappedResult(handle_, ov, &count, TRUE)) {
      if (GetLastError() != ERROR_IO_INCOMPLETE) {
        ClearErrors();
        break;
      }
    }
    ReadDone();
    return SerialStatus::Ok(static_cast<int32_t>(count));
  }

  SerialStatus Write(const uint8_t* buffer, int32_t n) override {
    if (n < 0) return SerialStatus::Failed();
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

  void Purge() override { PurgeComm(handle_, kPurgeAll); }

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
          if (Queued() > 0) return Report(mask);
          reported_ = false;
          break;
        }
        HANDLE handles[2] = {stop_, readDone_};
        if (WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(left)) == WAIT_OBJECT_0) return true;
      }
      if (Queued() > 0) return Report(mask);
      DWORD events = 0;
      OVERLAPPED* ov = wait_.Fresh();
      if (!WaitCommEvent(handle_, &events, ov)) {
        if (GetLastError() != ERROR_IO_PENDING) {
          CaptureLastError();
          return false;
        }
        HANDLE handles[2] = {wait_.event(), stop_};
        const bool stopped = WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
        if (stopped) {
          // The stop may have set the mask to 0 just before this wait began,
          // and such a wait ends only at a later mask change (Wine's serial
          // layer ignores the cancel and watches for exactly that): set the
          // mask once more, now that the wait is surely pending.
          SetCommMask(handle_, 0);
          CancelIoEx(handle_, ov);
        }
        DWORD unused = 0;
        // `events` belongs to the operation until it has completed.
        if (!GetOverlappedResult(handle_, ov, &unused, TRUE)) {
          if (GetLastError() != ERROR_OPERATION_ABORTED) {
            CaptureLastError();
            return false;
          }
          if (stopped || WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return true;
          if (++abortedWaits_ < kMaxAbortedWaits) continue;
          // The line is lost: the client hears of it, then the thread ends.
          SetLastError(ERROR_OPERATION_ABORTED);
          CaptureLastError();
          lineLost_ = true;
          *mask = platform::kEvErr;
          return true;
        }
        if (stopped) return true;
      }
      abortedWaits_ = 0;
      if ((events & platform::kEvRxChar) != 0) {
        // Marked before it is checked: a read from now on clears the mark.
        reported_ = true;
        reportedAt_ = TickCountNow();
        if (Queued() == 0) {
          reported_ = false;
          events &= ~platform::kEvRxChar;
        }
      }
      if (events != 0) {
        *mask = events;
        return true;
      }
    }
  }

  bool Report(uint32_t* mask) {
    reported_ = true;
    reportedAt_ = TickCountNow();
    *mask = platform::kEvRxChar;
    return true;
  }

  // A read (or the finding that nothing waits) answers the data event out.
  void ReadDone() {
    reported_ = false;
    SetEvent(readDone_);
  }

  int32_t Queued() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle_, &errors, &stat)) return 0;
    return static_cast<int32_t>(stat.cbInQue);
  }

  void ClearErrors() {
    DWORD errors = 0;
    ClearCommError(handle_, &errors, nullptr);
  }

  HANDLE handle_;
  HANDLE stop_;
  HANDLE readDone_;  // auto-reset: a read happened
  std::mutex readMutex_;
  std::atomic<bool> reported_{false};
  DWORD reportedAt_ = 0;  // event thread only
  int abortedWaits_ = 0;  // event thread only
  bool lineLost_ = false;  // event thread only
  Overlapped wait_;
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
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = config.writeTimeoutPerByteMs;
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(handle, &timeouts);
  *status = SerialStatus::Ok();
  return port;
}

}  // namespace zeva::win32
