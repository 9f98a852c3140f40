// The serial channel: the COM port, its event thread, and reads and writes
// with echo checking.
#pragma once

#include <cstdint>

#include "core/driver_context.h"

namespace zeva {

// Exports.
int32_t OpenCOM(DriverContext& ctx, HWND window);
void CloseCOM(DriverContext& ctx);
int32_t IsOpen(const DriverContext& ctx);

// Reads only what is already queued, at most `maximum` bytes; never waits.
int32_t ReadBytes(DriverContext& ctx, uint8_t* buffer, int32_t maximum);

// What a write waits for afterwards, up to twice the packet timeout: its
// echo when the echo check is on, and with kAck also the acknowledgement
// (SF_ACK_RECEIVED; judged by the caller).
enum class WaitFor : uint8_t { kEcho, kAck };

// Writes `count` bytes; with the echo check on, records them in the echo
// buffer and succeeds only when their echo comes back unchanged. Returns the
// number of bytes written, or 0 on failure.
int32_t WriteBytes(DriverContext& ctx, const uint8_t* buffer, int32_t count, WaitFor waitFor);

// The system's text for the last error, in a box with the information icon.
void ShowSystemError(DriverContext& ctx);

}  // namespace zeva
