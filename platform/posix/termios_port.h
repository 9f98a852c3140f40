// The termios serial port: the line's descriptor, the watch over it (the
// event thread's WaitEvent or the waiting reader's WaitAsReader, one at a
// time), and paced writes. The input queue with its hold is InputPump's;
// who watches the line is ReaderLease's to say.
#pragma once

#include <poll.h>
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
  void ReaderTakesLine() override;
  void ReaderGivesLineBack() override;
  static void ReaderLoopsElsewhere(uintptr_t port);

  // How the event thread's wait looks at the line: not at all, for a
  // hang-up only, or for bytes and a hang-up.
  enum class Interest { kNone, kHangUp, kData };
  void SetInterest(Interest interest);  // interestMutex_ held
  void ArmLeaseTimer(int64_t us);        // interestMutex_ held; 0 disarms
  int PollAsEventThread(pollfd fds[2], const timespec* timeout);

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
  // The event thread waits in an epoll set (Linux) holding its wake-up and
  // the line: a terminal wakes every poller of the line at every byte, and
  // a reader that takes the line for its watch takes it out of that set
  // without waking the thread, which so sleeps through a watched call. The
  // line's place in the set is what the event thread last wanted, unless a
  // reader holds the line. Without epoll (-1) the thread uses ppoll.
  // The lease's timer sits in the set too.
  int epoll_ = -1;
  int leaseTimer_ = -1;
  std::mutex interestMutex_;
  Interest interest_ = Interest::kNone;         // what the set holds now
  Interest eventThreadWants_ = Interest::kNone;
  bool readerHoldsLine_ = false;
};

}  // namespace zeva::posix
