#include "sim/line_scanner.h"

#include <array>

#include "link/frame.h"

namespace zeva::sim {

// Decides about the front of the buffer: wait for more bytes, a valid frame
// of `size` bytes, or one byte to skip.
LineScanner::Step LineScanner::Examine(size_t* size) const {
  if (buffer_.empty()) return Step::kWait;
  if (buffer_[0].value != link::kStartByte) return Step::kSkip;
  if (buffer_.size() < 2) return Step::kWait;
  if (buffer_[1].value >= 0x80) return Step::kSkip;
  if (buffer_.size() < 4) return Step::kWait;
  const bool isShort = link::IsShortControl(buffer_[3].value);
  *size = static_cast<size_t>(isShort ? link::ShortFrameSize(protocol_) : link::kDataFrameSize);
  if (buffer_.size() < *size) return Step::kWait;
  std::array<uint8_t, link::kDataFrameSize> frame{};
  for (size_t i = 0; i < *size; ++i) frame[i] = buffer_[i].value;
  const bool valid = isShort ? link::ShortFrameValid(protocol_, frame.data())
                             : link::DataFrameValid(protocol_, frame.data());
  return valid ? Step::kFrame : Step::kSkip;
}

void LineScanner::Push(const LineByte& byte, std::vector<ScannedFrame>* out) {
  buffer_.push_back(byte);
  for (;;) {
    size_t size = 0;
    const Step step = Examine(&size);
    if (step == Step::kWait) return;
    if (step == Step::kSkip) {
      // A frame that fails its check is searched again from the byte after
      // its start byte, as every receiver on the bus does.
      skipped_.push_back(buffer_.front());
      buffer_.pop_front();
      continue;
    }
    FlushGarbage(out);
    Emit(size, out);
  }
}

void LineScanner::Emit(size_t n, std::vector<ScannedFrame>* out) {
  ScannedFrame frame;
  frame.valid = true;
  frame.startUs = buffer_.front().startUs;
  for (size_t i = 0; i < n; ++i) {
    frame.bytes.push_back(buffer_.front().value);
    frame.talker = buffer_.front().talker;
    frame.endUs = buffer_.front().endUs;
    buffer_.pop_front();
  }
  out->push_back(std::move(frame));
}

void LineScanner::FlushGarbage(std::vector<ScannedFrame>* out) {
  if (skipped_.empty()) return;
  ScannedFrame garbage;
  garbage.startUs = skipped_.front().startUs;
  for (const LineByte& b : skipped_) {
    garbage.bytes.push_back(b.value);
    garbage.talker = b.talker;
    garbage.endUs = b.endUs;
  }
  skipped_.clear();
  out->push_back(std::move(garbage));
}

void LineScanner::Break(std::vector<ScannedFrame>* out) {
  skipped_.insert(skipped_.end(), buffer_.begin(), buffer_.end());
  buffer_.clear();
  FlushGarbage(out);
}

std::vector<std::vector<uint8_t>> SplitFrames(int32_t protocol, const std::vector<uint8_t>& bytes) {
  LineScanner scanner(protocol);
  std::vector<ScannedFrame> scanned;
  for (uint8_t b : bytes) scanner.Push({b, {}, 0, 0}, &scanned);
  std::vector<std::vector<uint8_t>> frames;
  for (ScannedFrame& f : scanned) {
    if (f.valid) frames.push_back(std::move(f.bytes));
  }
  return frames;
}

}  // namespace zeva::sim
