// ByteQueue: the receive accumulator. Bytes read from the port are appended
// at the back; the parser reads from the front and what it consumed (a frame
// and the bytes before it, or an echo) is dropped there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zeva::link {

class ByteQueue {
 public:
  ByteQueue() = default;
  ByteQueue(const ByteQueue&) = delete;
  ByteQueue& operator=(const ByteQueue&) = delete;

  // The bytes, or nullptr when empty.
  const uint8_t* data() const { return length() == 0 ? nullptr : bytes_.data() + head_; }
  int32_t length() const { return static_cast<int32_t>(bytes_.size() - head_); }

  void Append(const uint8_t* bytes, int32_t n);
  // Drops n (> 0) bytes from the front; at least length() empties the queue.
  // Amortised O(1) per byte: the front is only moved, the storage is
  // compacted once the dropped part outweighs the kept part.
  void ConsumeFront(int32_t n);
  // Drops n bytes from the end; n < 1 does nothing.
  void DropBack(int32_t n);
  // Releases the bytes and their storage (length 0).
  void Release();

 private:
  std::vector<uint8_t> bytes_;
  std::size_t head_ = 0;
};

}  // namespace zeva::link
