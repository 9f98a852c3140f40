#include "transact/request_table.h"

namespace zeva {

uint32_t RequestTable::Push(int32_t kind, uint8_t peer, int32_t tag, uint8_t* headerOut, uint8_t* dataOut) {
  if (count_ == kMaxRequests) {
    lastPushOk_ = 0;
    return 0;
  }
  PendingRequest& r = slots_[static_cast<std::size_t>(count_)];
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

PendingRequest* RequestTable::Find(uint32_t id) {
  for (int32_t i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].id == id) return &slots_[static_cast<std::size_t>(i)];
  }
  return nullptr;
}

void RequestTable::Remove(uint32_t id) {
  for (int32_t i = 0; i < count_; ++i) {
    if (slots_[static_cast<std::size_t>(i)].id != id) continue;
    for (int32_t j = i; j + 1 < count_; ++j) {
      slots_[static_cast<std::size_t>(j)] = slots_[static_cast<std::size_t>(j + 1)];
    }
    --count_;
    return;
  }
}

PendingRequest* RequestTable::Newest() {
  return count_ == 0 ? nullptr : &slots_[static_cast<std::size_t>(count_ - 1)];
}

bool RequestTable::SnapshotNewest(PendingRequest* out) const {
  if (count_ == 0) {
    out->kind = 0;
    out->tag = 0;
    return false;
  }
  *out = slots_[static_cast<std::size_t>(count_ - 1)];
  return true;
}

}  // namespace zeva
