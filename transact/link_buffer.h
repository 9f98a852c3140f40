// LinkBuffer: a byte array (the receive accumulator) combined with a fixed
// table of up to ten pending requests (the request table). The echo of the
// station's writes has its own owner, link/echo_tracker.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/status_flags.h"

namespace zeva {

// One pending request. headerOut / dataOut belong to the operation that
// pushed the request; it removes the request before they go away.
struct PendingRequest {
  int32_t position = 0;   // the buffer's length when pushed (recorded only)
  uint8_t peer = 0;       // address the answer must come from
  uint8_t anyPeer = 0;    // peer 0: any address will do
  int32_t kind = RQ_NONE;
  int32_t tag = 0;
  uint32_t id = 0;        // never 0 for a pending request
  uint8_t done = 0;       // set by the dispatcher when the answer arrived
  uint8_t* headerOut = nullptr;  // 8-byte FrameHeader of the answer
  uint8_t* dataOut = nullptr;    // 6 data bytes of the answer
};

class LinkBuffer {
 public:
  static constexpr int32_t kMaxRequests = 10;

  LinkBuffer() = default;
  virtual ~LinkBuffer() = default;
  LinkBuffer(const LinkBuffer&) = delete;
  LinkBuffer& operator=(const LinkBuffer&) = delete;

  // --- byte array --------------------------------------------------------
  // The bytes, or nullptr when empty.
  const uint8_t* data() const { return length() == 0 ? nullptr : bytes_.data() + head_; }
  int32_t length() const { return static_cast<int32_t>(bytes_.size() - head_); }

  void AppendBytes(const uint8_t* bytes, int32_t n);
  // Drops n (> 0) bytes from the front; at least length() empties the array.
  // Amortised O(1) per byte: the front is only moved, the storage is
  // compacted once the dropped part outweighs the kept part.
  void ConsumeFront(int32_t n);
  // Drops n bytes from the end; n < 1 does nothing.
  void DropBack(int32_t n);
  // Releases the bytes (length 0).
  void ReleaseBytes();

  // --- request table -----------------------------------------------------
  // Returns the new id, or 0 when ten requests are pending (lastPushOk 0).
  uint32_t PushRequest(int32_t kind, uint8_t peer, int32_t tag, uint8_t* headerOut, uint8_t* dataOut);
  PendingRequest* FindRequest(uint32_t id);
  void RemoveRequest(uint32_t id);
  PendingRequest* NewestRequest();
  // Copies the newest request into *out and returns true; on an empty table
  // sets out->kind and out->tag to 0, leaves the rest, returns false.
  bool SnapshotNewestRequest(PendingRequest* out) const;
  // Drops every pending request (count 0).
  void DropRequests() { count_ = 0; }

  int32_t count() const { return count_; }
  bool lastPushOk() const { return lastPushOk_ != 0; }
  const PendingRequest& slot(int32_t i) const { return slots_[static_cast<std::size_t>(i)]; }
  uint32_t idCounter() const { return idCounter_; }
  void set_idCounter(uint32_t v) { idCounter_ = v; }

 private:
  std::vector<uint8_t> bytes_;
  std::size_t head_ = 0;
  int32_t count_ = 0;
  uint32_t idCounter_ = 0;
  uint8_t lastPushOk_ = 1;
  std::array<PendingRequest, kMaxRequests> slots_{};
};

}  // namespace zeva
