// The message transmitter: sends one message to one device (or to everyone)
// frame by frame, with acknowledgements, repeats, an optional response wait
// after each frame, and the pacing and progress of a program download.
#pragma once

#include <cstdint>

#include "core/driver_context.h"

namespace zeva {

// Transmit modes.
inline constexpr uint8_t TM_NORMAL = 0;       // each frame acknowledged
inline constexpr uint8_t TM_UNACKED = 1;      // only the first frame, no acknowledgement
inline constexpr uint8_t TM_ALTERNATING = 2;  // acknowledged, bit 3 on odd frames

// Results.
inline constexpr int32_t TX_FAILED = 0;
inline constexpr int32_t TX_DONE = 1;
inline constexpr int32_t TX_BUSY = 2;

inline constexpr int32_t kSendAttempts = 5;
inline constexpr uint32_t kResponseWaitMs = 5000;
inline constexpr uint32_t kProgrammingPauseMs = 250;

// The common last step of a transmission: clears SF_TX_ACTIVE and
// LastDestination and returns its argument.
uint8_t EndTransmission(DriverContext& ctx, uint8_t result);

// Sends `length` bytes of `data` as a message of `type` (low 3 bits) to
// `destination`. Mode values other than 0 and 2 act as 1. Returns 0 failed,
// 1 done, 2 busy; with `checksumOnly` set nothing is written (except a type-6
// short frame) and the result is the 8-bit sum of the frames' checksums.
int32_t TransmitMessage(DriverContext& ctx, uint8_t destination, uint8_t type, const uint8_t* data,
                        uint16_t length, uint8_t mode, uint8_t checksumOnly);

}  // namespace zeva
