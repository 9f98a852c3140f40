#include "link/byte_queue.h"

namespace zeva::link {

void ByteQueue::Append(const uint8_t* bytes, int32_t n) {
  if (bytes == nullptr || n <= 0) return;
  bytes_.insert(bytes_.end(), bytes, bytes + n);
}

void ByteQueue::ConsumeFront(int32_t n) {
  if (n <= 0 || length() == 0) return;
  if (n >= length()) {
    Release();
    return;
  }
  head_ += static_cast<std::size_t>(n);
  if (head_ > bytes_.size() - head_) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void ByteQueue::DropBack(int32_t n) {
  if (n < 1) return;
  if (length() - n < 1) {
    Release();
    return;
  }
  bytes_.resize(bytes_.size() - static_cast<std::size_t>(n));
}

void ByteQueue::Release() {
  std::vector<uint8_t>().swap(bytes_);
  head_ = 0;
}

}  // namespace zeva::link
