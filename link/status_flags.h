// The driver-wide status flag bits. The receiving side (the parser for the
// echo, acknowledgements and link resets; the dispatcher for replies) sets
// them as things arrive; the sending side clears what it is about to wait
// for, sends, and waits in WaitForFlags.
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
inline constexpr uint32_t SF_RESPONSE_WAIT = 0x4000;

// The flag word with its operations. Only the client thread touches it.
struct StatusFlags {
  uint32_t word = 0;

  void Reset() { word = 0; }
  void Set(uint32_t mask) { word |= mask; }
  void Clear(uint32_t mask) { word &= ~mask; }
  // True when every bit of mask is set; an empty mask is always satisfied.
  bool AllSet(uint32_t mask) const { return (word & mask) == mask; }
};

}  // namespace zeva
