// Planning the read-ahead hold: when a watcher of the line reports the data
// event, and until then how it waits. Pure arithmetic over what the watcher
// saw, so that every port (and a test) plans the same hold; the port keeps
// the clock of the hold between two looks and does the waiting.
//
// The rules (SerialPort::ExpectBytes states them for callers): a data event
// may wait for the bytes the reader still needs, but only while the line
// keeps delivering them. Counted from the first held byte, the event goes
// out at the latest after the wire time of the missing bytes plus one and a
// half character times, and past that as soon as the line has been quiet
// for one and a half character times. A count that the queued bytes already
// meet (a lower one, say) releases the event at once.
#pragma once

#include <cstdint>

namespace zeva::platform {

// The hold's clock, kept by the watcher from one look to the next.
struct HoldClock {
  int64_t holdUntilUs = 0;  // when a held event goes out; 0: none held
  int64_t restDueUs = 0;    // when the held bytes should all be in
  int32_t heldQueued = 0;   // bytes queued when holdUntilUs was set
  bool slow = false;        // the hold was extended: the line is slower than its rate
  bool holding() const { return holdUntilUs != 0; }
};

// What the watcher saw at its look.
struct HoldSeen {
  int64_t nowUs = 0;
  int64_t charUs = 0;     // one character's wire time (> 0 for a hold)
  int32_t expected = 1;   // bytes the reader still needs; 1: any byte matters
  int32_t buffered = 0;   // bytes taken in and not yet read
  bool reported = false;  // the buffered bytes were reported, not long ago
  int32_t queued = 0;     // bytes waiting in the line's own queue
};

struct HoldPlan {
  bool due = false;        // report the data event now
  bool watchLine = true;   // watch the line (else sleep: the bytes are on the wire)
  int64_t timeoutUs = -1;  // look again after this long; -1: no limit
  int32_t minimum = -1;    // bytes the line is to wait for before it wakes the watcher; -1: as it is
  bool awaitingFirstByte = false;  // the next byte starts a hold: its arrival is not news yet
};

// The plan for one look; updates the hold's clock.
HoldPlan PlanHold(const HoldSeen& seen, HoldClock* clock);

// While the reader's own bytes are on the wire (until *quietUntilUs) only
// their echo can come, and it is waited for whole, as a hold would. Returns
// how long to sleep without watching the line, or -1 when the line is to be
// looked at now (the quiet time is then over and cleared). Bytes left
// unreported, or a hold already on, end the quiet time.
int64_t PlanEchoQuiet(int64_t nowUs, bool holding, int32_t buffered, bool reported, int64_t* quietUntilUs);

}  // namespace zeva::platform
