#include "link/echo_tracker.h"

#include <algorithm>

namespace zeva::link {

int32_t EchoTracker::Expect(const uint8_t* bytes, int32_t n) {
  if (writes() >= kMaxWrites) return -1;
  if (!Awaited()) start_ = received_;
  Write w;
  lastId_ = lastId_ % 0x7FFFFFFF + 1;  // stays a positive int32_t
  w.id = lastId_;
  if (bytes != nullptr && n > 0) w.bytes.assign(bytes, bytes + n);
  writes_.push_back(std::move(w));
  UpdateFlags();
  return static_cast<int32_t>(writes_.back().id);
}

EchoTracker::Write* EchoTracker::Find(int32_t write) {
  for (Write& w : writes_) {
    if (static_cast<int32_t>(w.id) == write) return &w;
  }
  return nullptr;
}

void EchoTracker::Withdraw(int32_t write) {
  if (Write* w = Find(write)) w->outcome = Outcome::kWithdrawn;
  Finish(write);
}

bool EchoTracker::Matched(int32_t write) const {
  for (const Write& w : writes_) {
    if (static_cast<int32_t>(w.id) == write) return w.outcome == Outcome::kUnchanged;
  }
  return false;
}

void EchoTracker::Finish(int32_t write) {
  Write* w = Find(write);
  if (w == nullptr) return;
  w->finished = true;
  const bool allFinished = std::all_of(writes_.begin(), writes_.end(), [](const Write& x) { return x.finished; });
  if (allFinished) {
    writes_.clear();
    start_ = -1;
  } else {
    // The last writes, done and compared, are of no use any more; an echo
    // still on its way stays, to be recognised when it comes.
    while (!writes_.empty() && writes_.back().finished && writes_.back().outcome != Outcome::kAwaited) {
      writes_.pop_back();
    }
  }
  UpdateFlags();
}

void EchoTracker::Reset() {
  writes_.clear();
  start_ = -1;
  received_ = 0;
}

void EchoTracker::Appended(int32_t accumulatorLength) { received_ = accumulatorLength; }

void EchoTracker::Consumed(int32_t n, int32_t accumulatorLength) {
  received_ = accumulatorLength;
  // The echo due lies after what was dropped; without the move it would be
  // looked for too far on and parsed as a frame.
  if (start_ > 0) start_ = start_ > n ? start_ - n : 0;
}

const EchoTracker::Write* EchoTracker::Due() const {
  for (const Write& w : writes_) {
    if (w.outcome == Outcome::kAwaited) return &w;
  }
  return nullptr;
}

const uint8_t* EchoTracker::data() const {
  const Write* w = Due();
  return w == nullptr || w->bytes.empty() ? nullptr : w->bytes.data();
}

int32_t EchoTracker::length() const {
  const Write* w = Due();
  return w == nullptr ? 0 : static_cast<int32_t>(w->bytes.size());
}

void EchoTracker::Settle(bool unchanged, int32_t end) {
  for (Write& w : writes_) {
    if (w.outcome != Outcome::kAwaited) continue;
    w.outcome = unchanged ? Outcome::kUnchanged : Outcome::kDiffered;
    break;
  }
  start_ = end;
  UpdateFlags();
}

void EchoTracker::UpdateFlags() {
  if (Awaited()) {
    flags_.Set(SF_ECHO_PENDING);
  } else {
    flags_.Clear(SF_ECHO_PENDING);
  }
  for (auto w = writes_.rbegin(); w != writes_.rend(); ++w) {
    if (w->finished) continue;
    if (w->outcome == Outcome::kUnchanged) {
      flags_.Set(SF_ECHO_MATCHED);
    } else {
      flags_.Clear(SF_ECHO_MATCHED);
    }
    return;
  }
}

}  // namespace zeva::link
