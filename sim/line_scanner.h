// Finds frames in the byte stream of the line, the way every listener on the
// bus does: a start byte followed by a destination below 0x80, the size from
// the control byte, and the codec's check. Bytes that belong to no valid
// frame come out as garbage, so a trace shows noise and damaged frames too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace zeva::sim {

enum class TalkerKind : uint8_t { kHost, kDevice, kAdapter, kNoise };

// Who put a byte on the line; `device` is the index of the device on its bus.
struct Talker {
  TalkerKind kind = TalkerKind::kNoise;
  int32_t device = -1;
  bool operator==(const Talker&) const = default;
};

struct LineByte {
  uint8_t value = 0;
  Talker talker;
  uint64_t startUs = 0;  // when the byte went onto the wire
  uint64_t endUs = 0;    // when its stop bit ended
};

struct ScannedFrame {
  bool valid = false;  // false: garbage
  std::vector<uint8_t> bytes;
  Talker talker;       // who sent the last byte
  uint64_t startUs = 0;
  uint64_t endUs = 0;
};

class LineScanner {
 public:
  explicit LineScanner(int32_t protocol) : protocol_(protocol) {}

  // Adds one byte; appends the frames it completes to `out`, each preceded
  // by the garbage skipped before it.
  void Push(const LineByte& byte, std::vector<ScannedFrame>* out);
  // Reports the garbage skipped so far (the bus calls it when a burst ends,
  // so noise shows up as one entry per burst).
  void FlushGarbage(std::vector<ScannedFrame>* out);
  // A byte was lost on the wire: every receiver sees the framing error and
  // abandons the frame in progress, so bytes on either side of the gap
  // never join into one frame. What was kept comes out as garbage.
  void Break(std::vector<ScannedFrame>* out);
  // Bytes kept for a frame that has not ended yet.
  size_t pending() const { return buffer_.size(); }

 private:
  enum class Step { kWait, kFrame, kSkip };
  Step Examine(size_t* size) const;
  void Emit(size_t n, std::vector<ScannedFrame>* out);

  int32_t protocol_;
  std::deque<LineByte> buffer_;
  std::vector<LineByte> skipped_;
};

// The valid frames in `bytes`, in order (garbage is skipped).
std::vector<std::vector<uint8_t>> SplitFrames(int32_t protocol, const std::vector<uint8_t>& bytes);

}  // namespace zeva::sim
