// The request table: up to ten requests waiting for a device's answer. An
// operation pushes its request before it transmits, the dispatcher marks it
// done and copies the answer when the frame arrives, and the operation
// removes it before it returns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/status_flags.h"

namespace zeva {

// What a pending request waits for; the dispatcher sets the kind's reply flag.
enum RequestKind : int32_t {
  RQ_NONE = 0,
  RQ_IDENTIFY = 2,
  RQ_REMOTE_ERROR = 3,
  RQ_REPLY = 4,
};

// The flag a reply of `kind` sets; 0 for any other number.
constexpr uint32_t ReplyFlagOf(int32_t kind) {
  switch (kind) {
    case RQ_IDENTIFY: return SF_IDENTIFY_REPLY;
    case RQ_REMOTE_ERROR: return SF_ERROR_REPLY;
    case RQ_REPLY: return SF_QUERY_REPLY;
    default: return 0;
  }
}

// One pending request. headerOut / dataOut belong to the operation that
// pushed the request; it removes the request before they go away.
struct PendingRequest {
  uint8_t peer = 0;       // address the answer must come from
  uint8_t anyPeer = 0;    // peer 0: any address will do
  int32_t kind = RQ_NONE;
  int32_t tag = 0;
  uint32_t id = 0;        // never 0 for a pending request
  uint8_t done = 0;       // set by the dispatcher when the answer arrived
  uint8_t* headerOut = nullptr;  // 8-byte FrameHeader of the answer
  uint8_t* dataOut = nullptr;    // 6 data bytes of the answer
};

class RequestTable {
 public:
  static constexpr int32_t kMaxRequests = 10;

  RequestTable() = default;
  RequestTable(const RequestTable&) = delete;
  RequestTable& operator=(const RequestTable&) = delete;

  // Returns the new id, or 0 when ten requests are pending (lastPushOk 0).
  uint32_t Push(int32_t kind, uint8_t peer, int32_t tag, uint8_t* headerOut, uint8_t* dataOut);
  PendingRequest* Find(uint32_t id);
  void Remove(uint32_t id);
  PendingRequest* Newest();
  // Copies the newest request into *out and returns true; on an empty table
  // sets out->kind and out->tag to 0, leaves the rest, returns false.
  bool SnapshotNewest(PendingRequest* out) const;
  // Drops every pending request (count 0).
  void DropAll() { count_ = 0; }

  int32_t count() const { return count_; }
  bool lastPushOk() const { return lastPushOk_ != 0; }
  const PendingRequest& slot(int32_t i) const { return slots_[static_cast<std::size_t>(i)]; }
  uint32_t idCounter() const { return idCounter_; }
  void set_idCounter(uint32_t v) { idCounter_ = v; }

 private:
  int32_t count_ = 0;
  uint32_t idCounter_ = 0;
  uint8_t lastPushOk_ = 1;
  std::array<PendingRequest, kMaxRequests> slots_{};
};

// An operation's request, on the table at most for the life of this object:
// whichever way the operation ends, the dispatcher writes no answer into
// areas that are gone.
class ScopedRequest {
 public:
  explicit ScopedRequest(RequestTable& table) : table_(table) {}
  ~ScopedRequest() { Remove(); }
  ScopedRequest(const ScopedRequest&) = delete;
  ScopedRequest& operator=(const ScopedRequest&) = delete;

  // Puts a request on the table; false when the table is full.
  bool Push(int32_t kind, uint8_t peer, uint8_t* headerOut, uint8_t* dataOut) {
    Remove();
    id_ = table_.Push(kind, peer, 0, headerOut, dataOut);
    pushed_ = table_.lastPushOk();
    return pushed_;
  }
  // Takes the request off the table before the end of the scope.
  void Remove() {
    if (pushed_) table_.Remove(id_);
    pushed_ = false;
  }
  uint32_t id() const { return id_; }

 private:
  RequestTable& table_;
  uint32_t id_ = 0;
  bool pushed_ = false;
};

}  // namespace zeva
