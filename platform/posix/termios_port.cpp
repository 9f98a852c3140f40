#include "platform/posix/termios_port.h"

#include <poll.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/posix/clock.h"
#include "platform/posix/last_error.h"
#include "platform/posix/termios_line.h"

namespace zeva::posix {

using platform::SerialStatus;

TermiosPort::TermiosPort(int fd, const int wake[2], const int readerWake[2], const platform::SerialConfig& config)
    : fd_(fd),
      wakeRead_(wake[0]),
      wakeWrite_(wake[1]),
      readerWakeRead_(readerWake[0]),
      readerWakeWrite_(readerWake[1]),
      writeTimeoutPerByteMs_(config.writeTimeoutPerByteMs),
      pump_(fd, CharacterUs(config)) {
#ifdef __linux__
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  leaseTimer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = leaseTimer_;
  if (epoll_ < 0 || leaseTimer_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, leaseTimer_, &event) != 0) {
    for (int end : {epoll_, leaseTimer_}) {
      if (end >= 0) close(end);
    }
    epoll_ = leaseTimer_ = -1;
  }
#endif
}

SerialStatus TermiosPort::SetEventMask(uint32_t mask) {
  if (fd_ < 0) return SerialStatus::Failed();
  mask_ = mask;
  WakeEventThread();
  return SerialStatus::Ok();
}

int64_t TermiosPort::LeaseNowUs() { return SteadyNowUs(); }

void TermiosPort::WakeEventThread() {
  const char byte = 1;
  // A full pipe already holds a wake-up.
  (void)!write(wakeWrite_, &byte, 1);
}

void TermiosPort::DrainWake() {
  char bytes[64];
  // A short read emptied the pipe; only a full one may have left some.
  while (read(wakeRead_, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes)) {
  }
}

// Waits timed to the microsecond (the holds, the quiet time after a write)
// need a timer slack of 1 ns: the default lets each end up to 50 us late.
// Set once per thread and kept, so that a watched call costs no set-up.
namespace {
void SetExactTimerSlack() {
#ifdef PR_SET_TIMERSLACK
  thread_local bool exact = false;
  if (exact) return;
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  exact = true;
#endif
}
}  // namespace

// A client that runs a message loop of its own inside the watch (from a
// callback, say) waits for data events the event thread must post.
void TermiosPort::EnterReaderThread() {
  previousHook_ = posixwin::SetBlockHook({&ReaderLoopsElsewhere, reinterpret_cast<uintptr_t>(this)});
  SetExactTimerSlack();
}

// The reader's thread as it was before its watch: its block hook.
void TermiosPort::LeaveReaderThread() { (void)posixwin::SetBlockHook(previousHook_); }

// The event thread is woken once the lease could have run out, to look
// after a reader held up outside its waits; a call shorter than the lease
// costs it no wake-up at all.
void TermiosPort::ReaderTakesLine() {
  std::lock_guard<std::mutex> lock(interestMutex_);
  if (epoll_ < 0) return;
  readerHoldsLine_ = true;
  SetInterest(Interest::kNone);
  ArmLeaseTimer(platform::ReaderLease::kLeaseUs);
}

// Bytes waiting now wake the event thread at once.
void TermiosPort::ReaderGivesLineBack() {
  std::lock_guard<std::mutex> lock(interestMutex_);
  if (!std::exchange(readerHoldsLine_, false)) return;
  ArmLeaseTimer(0);
  SetInterest(eventThreadWants_);
}

void TermiosPort::ArmLeaseTimer(int64_t us) {
#ifdef __linux__
  if (leaseTimer_ < 0) return;
  itimerspec when{};
  when.it_value = {static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
  (void)timerfd_settime(leaseTimer_, 0, &when, nullptr);
#else
  (void)us;
#endif
}

void TermiosPort::SetInterest(Interest interest) {
#ifdef __linux__
  if (epoll_ < 0 || interest == interest_ || fd_ < 0) return;
  int result = 0;
  if (interest == Interest::kNone) {
    result = epoll_ctl(epoll_, EPOLL_CTL_DEL, fd_, nullptr);
  } else {
    epoll_event event{};
    event.events = interest == Interest::kData ? uint32_t{EPOLLIN} : 0u;  // a hang-up always counts
    event.data.fd = fd_;
    result = epoll_ctl(epoll_, interest_ == Interest::kNone ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd_, &event);
  }
  if (result == 0) {
    interest_ = interest;
  } else {
    // A line epoll cannot watch is watched by ppoll from now on.
    close(epoll_);
    epoll_ = -1;
    readerHoldsLine_ = false;
  }
#else
  (void)interest;
#endif
}

// The event thread's ppoll, with the line (fds[0]) looked at through the
// epoll set: the set itself is polled, with the same precision.
int TermiosPort::PollAsEventThread(pollfd fds[2], const timespec* timeout) {
  int epoll = -1;
  {
    std::lock_guard<std::mutex> lock(interestMutex_);
    eventThreadWants_ = fds[0].fd < 0                ? Interest::kNone
                        : (fds[0].events & POLLIN) != 0 ? Interest::kData
                                                        : Interest::kHangUp;
    // The lease, not the holder's mark, says whether the reader has the
    // line: a reader held up past its lease hands it back this way.
    SetInterest(eventThreadWants_);
    epoll = epoll_;
  }
  if (epoll < 0) return ppoll(fds, 2, timeout, nullptr);
#ifdef __linux__
  pollfd set[2] = {{epoll, POLLIN, 0}, fds[1]};
  const int ready = ppoll(set, 2, timeout, nullptr);
  fds[0].revents = 0;
  fds[1].revents = set[1].revents;
  if (ready <= 0) return ready;
  epoll_event events[2] = {};
  const int n = (set[0].revents & POLLIN) != 0 ? epoll_wait(epoll, events, 2, 0) : 0;
  for (int i = 0; i < n; ++i) {
    const uint32_t got = events[i].events;
    if (events[i].data.fd == leaseTimer_) {
      // The lease's time: the caller plans afresh, as after a time-out.
      uint64_t expirations = 0;
      (void)!read(leaseTimer_, &expirations, sizeof expirations);
      continue;
    }
    if ((got & EPOLLIN) != 0) fds[0].revents |= POLLIN;
    if ((got & EPOLLHUP) != 0) fds[0].revents |= POLLHUP;
    if ((got & EPOLLERR) != 0) fds[0].revents |= POLLERR;
  }
  return (fds[0].revents != 0 ? 1 : 0) + (fds[1].revents != 0 ? 1 : 0);
#else
  return -1;
#endif
}

void TermiosPort::ReaderLoopsElsewhere(uintptr_t port) { reinterpret_cast<TermiosPort*>(port)->lease_.LoopsElsewhere(); }

void TermiosPort::ExpectBytes(int32_t count) {
  // A reader that watches the line itself plans afresh at its wait.
  if (pump_.Expect(count)) lease_.WakeUnlessReaderHasLine();
}

void TermiosPort::RenewDataEvent() {
  if (pump_.Renew()) lease_.WakeUnlessReaderHasLine();
}

void TermiosPort::Purge() {
  if (fd_ >= 0) tcflush(fd_, TCIOFLUSH);
  pump_.Purge();
}

// Watches the line for the comm events in `wanted` until they are due, or
// `otherFd` turns readable, or (for a reader) `deadlineUs` passes. The event
// thread stands aside while a reader has the line, and then sleeps until
// the reader's lease could have run out.
TermiosPort::WatchEnd TermiosPort::WatchLine(uint32_t wanted, int otherFd, bool reader, int64_t deadlineUs) {
  for (;;) {
    std::unique_lock<std::mutex> lock(watchMutex_);
    const int64_t now = SteadyNowUs();
    const int64_t asideUs = reader ? -1 : lease_.StandAside(now);
    const bool aside = asideUs >= 0;
    const bool watchData = (wanted & platform::kEvRxChar) != 0 && !aside;
    InputPump::Watch watch;
    if (watchData) watch = pump_.Plan();
    bool dataDue = watch.due;
    if (!dataDue) {
      int64_t timeoutUs = aside ? asideUs : watch.timeoutUs;
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
      const timespec* limit = timeoutUs < 0 ? nullptr : &timeout;
      const int ready = reader ? ppoll(fds, 2, limit, nullptr) : PollAsEventThread(fds, limit);
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
      if (pump_.AwaitingFirstByte() || (!reader && lease_.ReaderHasLine(SteadyNowUs()))) continue;
      dataDue = true;
    }
    uint32_t events = 0;
    if (dataDue) {
      pump_.EndHold();
      if (pump_.TakeIn(watch.due)) events |= platform::kEvRxChar;
    }
    if (pump_.LineErrorSeen()) events |= platform::kEvErr;
    events &= wanted;
    if (events != 0) return {WatchEnd::kEvents, events};
  }
}

SerialStatus TermiosPort::WaitEvent(uint32_t* mask) {
  *mask = 0;
  SetExactTimerSlack();
  const WatchEnd end = WatchLine(mask_.load(), wakeRead_, false, -1);
  switch (end.kind) {
    case WatchEnd::kGone:
      return SerialStatus::Failed();
    case WatchEnd::kEvents:
      *mask = end.events;
      return SerialStatus::Ok();
    default:
      // The mask changed, the reader left bytes, needs fewer or handed the
      // line back: mask 0, and the caller waits again.
      DrainWake();
      return SerialStatus::Ok();
  }
}

// The reader's wait: its own message queue and the line in one poll().
platform::SerialPort::ReaderWait TermiosPort::WaitAsReader(uint32_t tick) {
  if (fd_ < 0 || !lease_.MayWait()) return {};
  ReaderWait result;
  result.watched = true;
  const int64_t now = SteadyNowUs();
  const int64_t deadline = platform::TickReachedUs(now, static_cast<uint32_t>(now / 1000), tick);
  if (deadline <= now) return result;
  if (posixwin::BeginPolledWait(readerWakeWrite_)) {
    lease_.WaitBegins(deadline);
    // Not the event thread's mask: that is set when the thread first runs,
    // which may be after this wait has begun.
    const WatchEnd end = WatchLine(platform::kEvRxChar | platform::kEvErr, readerWakeRead_, true, deadline);
    lease_.WaitEnds();
    // Bytes held for a frame's rest are out of the terminal, so the line
    // no longer tells the event thread of them: it is told, should the
    // reader not look again.
    if (pump_.HoldsBytes()) lease_.WakeUnlessReaderHasLine();
    if (end.kind == WatchEnd::kEvents) result.events = end.events;
    // The event thread finds out for itself and ends; the reader waits as
    // it did before it watched.
    if (end.kind == WatchEnd::kGone) lease_.LineGone();
  }
  if (posixwin::EndPolledWait()) {
    char byte;
    (void)!read(readerWakeRead_, &byte, 1);
  }
  return result;
}

SerialStatus TermiosPort::Read(uint8_t* buffer, int32_t n) {
  if (fd_ < 0 || n < 0) return SerialStatus::Failed();
  bool leftBehind = false;
  const int32_t taken = pump_.Read(buffer, n, &leftBehind);
  // A reader that has the line sees what it left at its next wait.
  if (leftBehind) lease_.WakeUnlessReaderHasLine();
  return SerialStatus::Ok(taken);
}

bool TermiosPort::WaitWritable(int64_t deadline, bool limited) {
  for (;;) {
    int timeout = -1;
    if (limited) {
      const int64_t left = deadline - SteadyNowMs();
      if (left <= 0) return false;
      timeout = static_cast<int>(left);
    }
    pollfd out{fd_, POLLOUT, 0};
    const int ready = poll(&out, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

SerialStatus TermiosPort::Write(const uint8_t* buffer, int32_t n) {
  if (fd_ < 0 || n < 0) return SerialStatus::Failed();
  const bool limited = writeTimeoutPerByteMs_ != 0;
  const int64_t deadline = SteadyNowMs() + static_cast<int64_t>(n) * writeTimeoutPerByteMs_;
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
      return SerialStatus::Failed(done);
    }
    if (!WaitWritable(deadline, limited)) return SerialStatus::Timeout(done);
  }
  // The reader writes and then waits: its wait need not watch the line
  // before these bytes have had their wire time.
  if (lease_.Watching() && n > 0) {
    std::lock_guard<std::mutex> lock(watchMutex_);
    pump_.NoteWrite(n);
  }
  return SerialStatus::Ok(done);
}

SerialStatus TermiosPort::Close() {
  // Closed inside its reader's watch (from a callback, on the reader's
  // thread): the thread's loops no longer concern this port, and its timer
  // slack is its own again.
  lease_.Abandon();
  if (fd_ < 0) return SerialStatus::Ok();
  // The exclusive flag of a pseudo-terminal outlives this descriptor.
  (void)ioctl(fd_, TIOCNXCL);
  const int result = close(fd_);
  if (result != 0) SetLastErrorFromErrno();
  fd_ = -1;
  for (int end : {wakeRead_, wakeWrite_, readerWakeRead_, readerWakeWrite_, epoll_, leaseTimer_}) {
    if (end >= 0) close(end);
  }
  epoll_ = leaseTimer_ = -1;
  return result == 0 ? SerialStatus::Ok() : SerialStatus::Failed();
}

}  // namespace zeva::posix
