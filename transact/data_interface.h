// The application data interface: the six-byte output buffer that Send and
// Query send, and the readers of received data blocks.
#pragma once

#include <cstdint>

#include "transact/transact_state.h"

namespace zeva {

// The type byte of the output buffer (10..240; others are not kept).
int32_t SetType(transact::TransactState& ctx, int32_t type);
int32_t ClearBuffer(transact::TransactState& ctx);
void SetInt(transact::TransactState& ctx, int32_t value, int32_t index);
void SetByte(transact::TransactState& ctx, int32_t value, int32_t index);
int32_t SetOut(transact::TransactState& ctx, int32_t bit, int32_t value);
int32_t GetInt(const uint8_t* block, int32_t index);
int32_t GetByte(const uint8_t* block, int32_t index);
int32_t GetType(const uint8_t* block);

}  // namespace zeva
