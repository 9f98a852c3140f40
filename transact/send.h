// The sending half of the application data interface: Send (the output
// buffer), SendData (a message of any length and type), sendRaw (bytes the
// client framed itself) and TestStream (filler bytes for line tests).
#pragma once

#include <cstdint>

#include "transact/transact_state.h"

namespace zeva {

// Results of Send and SendData besides the transmitter's 0, 1, 2.
inline constexpr int32_t kSendPortClosed = 16;
inline constexpr int32_t kSendBadArgument = 99;

int32_t Send(transact::TransactState& ctx, int32_t address, int32_t type, int32_t mode);
int32_t SendData(transact::TransactState& ctx, int32_t address, int32_t mode, int32_t type, const uint8_t* data,
                 int32_t length);
int32_t SendRaw(transact::TransactState& ctx, uint8_t* bytes, int32_t length, int16_t* result, int32_t wholeFrame);
int32_t TestStream(transact::TransactState& ctx, int32_t fill, int32_t count);

}  // namespace zeva
