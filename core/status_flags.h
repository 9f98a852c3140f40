// The driver-wide status flag bits. The receiving side (parser, dispatcher)
// sets them as things arrive; the sending side clears what it is about to
// wait for, sends, and waits in WaitForFlags.
#pragma once

#include <cstdint>

namespace zeva {

inline constexpr uint32_t SF_ACK_PENDING = 0x0004;
inline constexpr uint32_t SF_TX_ACTIVE = 0x0008;
inline constexpr uint32_t SF_ACK_RECEIVED = 0x0010;
inline constexpr uint32_t SF_ECHO_PENDING = 0x0040;
inline constexpr uint32_t SF_ECHO_MATCHED = 0x0100;
inline constexpr uint32_t SF_IDENTIFY_REPLY = 0x0200;
inline constexpr uint32_t SF_RESPONSE_MATCHED = 0x0400;
inline constexpr uint32_t SF_ERROR_REPLY = 0x0800;
inline constexpr uint32_t SF_QUERY_REPLY = 0x1000;
inline constexpr uint32_t SF_ECHO_REPLY = 0x2000;
inline constexpr uint32_t SF_RESPONSE_WAIT = 0x4000;

// What a pending request waits for; the dispatcher sets the kind's reply flag.
enum RequestKind : int32_t {
  RQ_NONE = 0,
  RQ_ACK = 1,
  RQ_IDENTIFY = 2,
  RQ_REMOTE_ERROR = 3,
  RQ_REPLY = 4,
  RQ_ECHO = 5,
};

// The flag a reply of `kind` sets; 0 for kinds outside 1..5.
constexpr uint32_t ReplyFlagOf(int32_t kind) {
  switch (kind) {
    case RQ_ACK: return SF_ACK_RECEIVED;
    case RQ_IDENTIFY: return SF_IDENTIFY_REPLY;
    case RQ_REMOTE_ERROR: return SF_ERROR_REPLY;
    case RQ_REPLY: return SF_QUERY_REPLY;
    case RQ_ECHO: return SF_ECHO_REPLY;
    default: return 0;
  }
}

// The flag word with its operations. Only the client thread touches it.
struct StatusFlags {
  uint32_t word = 0;

  void Reset() { word = 0; }
  void Set(uint32_t mask) { word |= mask; }
  void Clear(uint32_t mask) { word &= ~mask; }
  // True when every bit of mask is set; an empty mask is always satisfied.
  bool AllSet(uint32_t mask) const { return (word & mask) == mask; }
  void SetReplyFlag(int32_t kind) { word |= ReplyFlagOf(kind); }
};

}  // namespace zeva
