// The application data interface: the six-byte output buffer that Send and
// Query send, and the readers of received data blocks.
#pragma once

#include <cstdint>

#include "core/driver_context.h"

namespace zeva {

int32_t ClearBuffer(DriverContext& ctx);
void SetInt(DriverContext& ctx, int32_t value, int32_t index);
void SetByte(DriverContext& ctx, int32_t value, int32_t index);
int32_t SetOut(DriverContext& ctx, int32_t bit, int32_t value);
int32_t GetInt(const uint8_t* block, int32_t index);
int32_t GetByte(const uint8_t* block, int32_t index);
int32_t GetType(const uint8_t* block);

}  // namespace zeva
