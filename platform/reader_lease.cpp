#include "platform/reader_lease.h"

#include <algorithm>

namespace zeva::platform {

void ReaderLease::Begin() {
  if (depth_++ > 0) return;
  scope_ = true;
  host_.EnterReaderThread();
  host_.ReaderTakesLine();
}

void ReaderLease::End() {
  if (depth_ == 0 || --depth_ > 0) return;
  scope_ = false;
  host_.LeaveReaderThread();
  host_.ReaderGivesLineBack();
  // An event thread that stood aside watches the line again from now on.
  if (wakeOwed_.exchange(false) || eventThreadAside_.load()) host_.WakeEventThread();
}

void ReaderLease::Abandon() {
  if (depth_ == 0) return;
  depth_ = 0;
  host_.LeaveReaderThread();
}

void ReaderLease::WaitBegins(int64_t deadlineUs) {
  waitEndsUs_ = deadlineUs;
  waiting_ = true;
}

void ReaderLease::WaitEnds() {
  leftUs_ = host_.LeaseNowUs();
  waiting_ = false;
}

void ReaderLease::LineGone() {
  lineGone_ = true;
  host_.ReaderGivesLineBack();
  host_.WakeEventThread();
}

void ReaderLease::LoopsElsewhere() {
  leftUs_ = host_.LeaseNowUs() - kLeaseUs;
  host_.ReaderGivesLineBack();
  if (eventThreadAside_.load()) host_.WakeEventThread();
}

bool ReaderLease::ReaderHasLine(int64_t nowUs) const {
  if (!scope_.load() || lineGone_.load()) return false;
  return waiting_.load() || nowUs - leftUs_.load() < kLeaseUs;
}

void ReaderLease::WakeUnlessReaderHasLine() {
  if (ReaderHasLine(host_.LeaseNowUs())) {
    wakeOwed_ = true;
  } else {
    host_.WakeEventThread();
  }
}

int64_t ReaderLease::StandAside(int64_t nowUs) {
  // Set before the reader's state is read: a reader ending its watch reads
  // it after clearing its own, so one of the two sees the other.
  eventThreadAside_ = true;
  if (!ReaderHasLine(nowUs)) {
    eventThreadAside_ = false;
    return -1;
  }
  const int64_t from = waiting_.load() ? waitEndsUs_.load() : leftUs_.load();
  return std::max<int64_t>(from + kLeaseUs - nowUs, 1);
}

}  // namespace zeva::platform
