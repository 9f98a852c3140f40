#include "sim/trace.h"

#include <cstdio>

namespace zeva::sim {

namespace {

std::string TalkerLabel(const TraceEntry& entry) {
  char text[16];
  switch (entry.talker.kind) {
    case TalkerKind::kHost:
      return "host";
    case TalkerKind::kDevice:
      std::snprintf(text, sizeof text, "dev %u", static_cast<unsigned>(entry.address));
      return text;
    case TalkerKind::kAdapter:
      return "adapter";
    case TalkerKind::kNoise:
      return "noise";
  }
  return "?";
}

}  // namespace

std::string FormatTrace(const TraceEntry& entry) {
  char head[64];
  std::snprintf(head, sizeof head, "%10.3f ms  ", static_cast<double>(entry.startUs) / 1000.0);
  std::string line = head;
  if (entry.kind == TraceEntry::Kind::kEvent) return line + "-- " + entry.note;
  line += entry.direction == Direction::kHostToLine ? "host->line  " : "line->host  ";
  std::string who = TalkerLabel(entry);
  who.resize(9, ' ');
  line += who;
  for (size_t i = 0; i < entry.bytes.size(); ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", entry.bytes[i]);
    line += hex;
  }
  if (entry.kind == TraceEntry::Kind::kGarbage) line += "  (no frame)";
  return line;
}

}  // namespace zeva::sim
