#include "transact/link_buffer.h"

namespace zeva {

void LinkBuffer::AppendBytes(const uint8_t* bytes, int32_t n) {
  if (bytes == nullptr || n <= 0) return;
  bytes_.insert(bytes_.end(), bytes, bytes + n);
}

void LinkBuffer::ConsumeFront(int32_t n) {
  if (n <= 0 || length() == 0) return;
  if (n >= length()) {
    ReleaseBytes();
    return;
  }
  head_ += static_cast<std::size_t>(n);
  if (head_ > bytes_.size() - head_) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void LinkBuffer::DropBack(int32_t n) {
  if (n < 1) return;
  if (length() - n < 1) {
    ReleaseBytes();
    return;
  }
  bytes_.resize(bytes_.size() - static_cast<std::size_t>(n));
}

void LinkBuffer::ReleaseBytes() {
  std::vector<uint8_t>().swap(bytes_);
  head_ = 0;
}

uint32_t LinkBuffer::PushRequest(int32_t kind, uint8_t peer, int32_t tag, uint8_t* headerOut,
                                 uint8_t* dataOut) {
  if (count_ == kMaxRequests) {
    lastPushOk_ = 0;
    return 0;
  }
  PendingRequest& r = slots_[static_cast<std::size_t>(count_)];
  r.position = length();
  r.peer = peer;
  r.anyPeer = peer == 0 ? 1 : 0;
  r.kind = kind;
  ++idCounter_;
  if (idCounter_ == 0) idCounter_ = 1;
  r.id = idCounter_;
  r.tag = tag;
  r.done = 0;
  r.headerOut = headerOut;
  r.dataOut = dataOut;
  lastPushOk_ = 1;
  ++count_;
  return r.id;
}

PendingRequest* LinkBuffer::FindRequest(uint32_t id) {
  for (int32_t i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].id == id) return &slots_[static_cast<std::size_t>(i)];
  }
  return nullptr;
}

void LinkBuffer::RemoveRequest(uint32_t id) {
  for (int32_t i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].id != id) continue;
    for (int32_t j = i; j + 1 < count_; ++j) {
      slots_[static_cast<std::size_t>(j)] = slots_[static_cast<std::size_t>(j + 1)];
    }
    --count_;
    return;
  }
}

PendingRequest* LinkBuffer::NewestRequest() {
  return count_ == 0 ? nullptr : &slots_[static_cast<std::size_t>(count_ - 1)];
}

bool LinkBuffer::SnapshotNewestRequest(PendingRequest* out) const {
  if (count_ == 0) {
    out->kind = 0;
    out->tag = 0;
    return false;
  }
  *out = slots_[static_cast<std::size_t>(count_ - 1)];
  return true;
}

}  // namespace zeva
