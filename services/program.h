// Address assignment by serial code, and program download.
#pragma once

#include <cstdint>

#include "services/service_state.h"

namespace zeva {

// LastProgramError codes.
inline constexpr int32_t kProgramErrorNone = 0;
inline constexpr int32_t kProgramErrorBadCall = 1;
inline constexpr int32_t kProgramErrorPort = 2;
inline constexpr int32_t kProgramErrorCommunication = 3;
inline constexpr int32_t kProgramErrorNoAnswer = 4;
inline constexpr int32_t kProgramErrorSerialMismatch = 5;
inline constexpr int32_t kProgramErrorWrongProduct = 6;
inline constexpr int32_t kProgramErrorVersionTooLow = 7;
inline constexpr int32_t kProgramErrorChannelBusy = 8;

// Export: the device whose serial code `serialText` names ("S" and hex
// digits) takes bus address `address`. One broadcast; 1 when it was sent.
int32_t SetAddrID(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t percentage);

// Export: the full download: stop all devices, address the target, identify
// and check it, announce and send the program, restart all devices.
int32_t Program(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t product,
                int32_t minLow, int32_t minHigh, const uint8_t* data, int32_t length);

// Export: download to a device that already has its address, without stop,
// address assignment or restart; leaves the port open.
int32_t ProgramDirect(services::ServiceState& ctx, const char* serialText, int32_t address, int32_t product,
                      int32_t minLow, int32_t minHigh, const uint8_t* data, int32_t length);

namespace services {
// The serial code in a serial text: characters 1 to 6, hex digits shift in,
// anything else is skipped.
uint32_t ParseSerialText(const char* text);
}  // namespace services

}  // namespace zeva
