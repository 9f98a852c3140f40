#include "platform/hold_plan.h"

namespace zeva::platform {

HoldPlan PlanHold(const HoldSeen& seen, HoldClock* clock) {
  HoldPlan plan;
  const int64_t now = seen.nowUs;
  const int64_t charUs = seen.charUs;
  if (seen.queued == 0) {
    *clock = {};
    // Bytes a reader left behind are news of their own.
    plan.due = seen.buffered > 0 && !seen.reported;
    plan.minimum = 0;
    plan.awaitingFirstByte = seen.expected > 1;  // its arrival starts a hold
    return plan;
  }
  if (seen.expected <= 1 || seen.buffered + seen.queued >= seen.expected) {
    *clock = {};
    plan.due = true;
    return plan;
  }
  if (!clock->holding()) {
    // The missing bytes are due after their wire time, if the line goes on.
    const int64_t rest = (seen.expected - seen.buffered - seen.queued) * charUs;
    clock->restDueUs = now + rest + charUs / 4;
    clock->holdUntilUs = now + rest + charUs * 3 / 2;
    clock->heldQueued = seen.queued;
  } else if (now >= clock->holdUntilUs) {
    // Nothing came since the last look: the rest is not coming (cut or
    // damaged), and the reader is to see what is there.
    if (seen.queued == clock->heldQueued) {
      *clock = {};
      plan.due = true;
      return plan;
    }
    // Still coming, only slower than the line's rate: wait while it does.
    clock->holdUntilUs = now + charUs * 3 / 2;
    clock->heldQueued = seen.queued;
    clock->slow = true;
  }
  if (now < clock->restDueUs) {
    // A line wakes its watcher at every byte, whatever it waits for: while
    // the missing bytes are still on the wire the watcher sleeps instead.
    plan.watchLine = false;
    plan.timeoutUs = clock->restDueUs - now;
    return plan;
  }
  plan.timeoutUs = clock->holdUntilUs - now;
  if (!clock->slow) {
    // A little late (the line's own latency, a peer's pacing): the rest is
    // given until the hold's end without a look, as a terminal would wake
    // the watcher at each of its bytes, and setting the line's minimum and
    // back costs two calls more.
    plan.watchLine = false;
    return plan;
  }
  // A line slower than its rate: the bytes still coming are waited for
  // with the line's own minimum, so that the last of them wakes the watcher.
  plan.minimum = seen.expected - seen.buffered;
  return plan;
}

int64_t PlanEchoQuiet(int64_t nowUs, bool holding, int32_t buffered, bool reported, int64_t* quietUntilUs) {
  if (*quietUntilUs == 0) return -1;
  if (nowUs < *quietUntilUs && !holding && (buffered == 0 || reported)) return *quietUntilUs - nowUs;
  *quietUntilUs = 0;
  return -1;
}

}  // namespace zeva::platform
