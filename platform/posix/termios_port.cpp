#include "platform/posix/termios_port.h"

#include <poll.h>
#include <sys/ioctl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
      pump_(fd, CharacterUs(config)) {}

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

// A client that runs a message loop of its own inside the watch (from a
// callback, say) waits for data events the event thread must post.
void TermiosPort::EnterReaderThread() {
  previousHook_ = posixwin::SetBlockHook({&ReaderLoopsElsewhere, reinterpret_cast<uintptr_t>(this)});
#ifdef PR_SET_TIMERSLACK
  // The reader's holds end at moments computed to the microsecond too;
  // its own timer slack comes back when the watch ends.
  const int slack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  readerSlack_ = slack > 0 ? static_cast<unsigned long>(slack) : 0;
  if (readerSlack_ > 1) (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

// The reader's thread as it was before its watch: its block hook and its
// own timer slack.
void TermiosPort::LeaveReaderThread() {
  (void)posixwin::SetBlockHook(previousHook_);
#ifdef PR_SET_TIMERSLACK
  if (readerSlack_ > 1) (void)prctl(PR_SET_TIMERSLACK, readerSlack_, 0UL, 0UL, 0UL);
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
      if (pump_.AwaitingFirstByte() || (!reader && lease_.ReaderHasLine(SteadyNowUs()))) continue;
      dataDue = true;
    }
    uint32_t events = 0;
    if (dataDue) {
      pump_.EndHold();
      if (pump_.TakeIn()) events |= platform::kEvRxChar;
    }
    if (pump_.LineErrorSeen()) events |= platform::kEvErr;
    events &= wanted;
    if (events != 0) return {WatchEnd::kEvents, events};
  }
}

SerialStatus TermiosPort::WaitEvent(uint32_t* mask) {
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
  const int32_t remainingMs = static_cast<int32_t>(tick - MonotonicTickCount());
  if (remainingMs <= 0) return result;
  if (posixwin::BeginPolledWait(readerWakeWrite_)) {
    const int64_t deadline = SteadyNowUs() + int64_t{remainingMs} * 1000;
    lease_.WaitBegins(deadline);
    // Not the event thread's mask: that is set when the thread first runs,
    // which may be after this wait has begun.
    const WatchEnd end = WatchLine(platform::kEvRxChar | platform::kEvErr, readerWakeRead_, true, deadline);
    lease_.WaitEnds();
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
  for (int end : {wakeRead_, wakeWrite_, readerWakeRead_, readerWakeWrite_}) close(end);
  return result == 0 ? SerialStatus::Ok() : SerialStatus::Failed();
}

}  // namespace zeva::posix
