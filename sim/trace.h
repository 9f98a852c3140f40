// The frame trace: every frame on the line, the bytes that made no frame,
// and line events (unplugged, host opened or closed), with virtual times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/line_scanner.h"

namespace zeva::sim {

enum class Direction : uint8_t { kHostToLine, kLineToHost };

struct TraceEntry {
  enum class Kind : uint8_t { kFrame, kGarbage, kEvent };
  Kind kind = Kind::kFrame;
  uint64_t startUs = 0;  // first byte onto the wire
  uint64_t endUs = 0;    // last byte off the wire
  Direction direction = Direction::kLineToHost;
  Talker talker;
  uint8_t address = 0;  // the talker's bus address when it talked
  std::vector<uint8_t> bytes;
  std::string note;  // events only
};

// One line of text, e.g.
//   "    12.345 ms  host->line  host     FE 05 01 C1 00 00 00 00 00 FA 7D"
std::string FormatTrace(const TraceEntry& entry);

}  // namespace zeva::sim
