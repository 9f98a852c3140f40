// The termios serial port: the line's descriptor, the watch over it (the
// event thread's WaitEvent or the waiting reader's WaitAsReader, one at a
// time), and paced writes. The input queue with its hold is InputPump's;
// who watches the line is ReaderLease's to say.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/input_pump.h"
#include "platform/posix/window_system.h"
#include "platform/reader_lease.h"

namespace zeva::posix {

class TermiosPort final : public platform::SerialPort, private platform::LeaseHost {
 public:
  // Takes `fd` (configured) and the two wake-up pipes: the event thread's
  // and the reader's (its message queue writes there while it waits).
  TermiosPort(int fd, const int wake[2], const int readerWake[2], const platform::SerialConfig& config);
  ~TermiosPort() override { Close(); }

  platform::SerialStatus SetEventMask(uint32_t mask) override;
  platform::SerialStatus WaitEvent(uint32_t* mask) override;
  int32_t QueuedBytes() override { return pump_.Queued(); }
  platform::SerialStatus Read(uint8_t* buffer, int32_t n) override;
  platform::SerialStatus Write(const uint8_t* buffer, int32_t n) override;
  void ExpectBytes(int32_t count) override;
  void BeginReaderWatch() override { lease_.Begin(); }
  void EndReaderWatch() override { lease_.End(); }
  ReaderWait WaitAsReader(uint32_t tick) override;
  void RenewDataEvent() override;
  void Purge() override;
  platform::SerialStatus Close() override;

 private:
  // LeaseHost
  int64_t LeaseNowUs() override;
  void WakeEventThread() override;
  void EnterReaderThread() override;
  void LeaveReaderThread() override;
  static void ReaderLoopsElsewhere(uintptr_t port);

  void DrainWake();
  struct WatchEnd {
    enum Kind { kEvents, kOther, kTimeout, kGone } kind = kTimeout;
    uint32_t events = 0;
  };
  WatchEnd WatchLine(uint32_t wanted, int otherFd, bool reader, int64_t deadlineUs);
  bool WaitWritable(int64_t deadline, bool limited);

  int fd_;
  int wakeRead_;
  int wakeWrite_;
  int readerWakeRead_;
  int readerWakeWrite_;
  const uint32_t writeTimeoutPerByteMs_;
  std::atomic<uint32_t> mask_{0};
  // The watcher's lock: the event thread's or a waiting reader's look at
  // the line, one at a time.
  std::mutex watchMutex_;
  InputPump pump_;
  platform::ReaderLease lease_{*this};
  // The reader's thread as it was before its watch (reader's thread only).
  posixwin::BlockHook previousHook_;
  unsigned long readerSlack_ = 0;
  bool slackSet_ = false;  // event thread only
};

}  // namespace zeva::posix
