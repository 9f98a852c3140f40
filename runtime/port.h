// The serial channel: the COM port, its event thread, and reads and writes
// with echo checking.
#pragma once

#include <cstdint>

#include "link/byte_queue.h"
#include "runtime/runtime_state.h"

namespace zeva {

// Exports.
int32_t OpenCOM(runtime::RuntimeState& ctx, HWND window);
void CloseCOM(runtime::RuntimeState& ctx);
int32_t IsOpen(const runtime::RuntimeState& ctx);

// The channel's receive accumulator; nullptr when there is no channel.
link::ByteQueue* ReceiveAccumulator(const runtime::RuntimeState& ctx);

// Tells the open port how many bytes the reader still needs before they can
// change anything for it (read-ahead; see platform::SerialPort::ExpectBytes).
void ExpectBytes(runtime::RuntimeState& ctx, int32_t count);

// Reads only what is already queued, at most `maximum` bytes; never waits.
int32_t ReadBytes(runtime::RuntimeState& ctx, uint8_t* buffer, int32_t maximum);

// What a write waits for afterwards, up to twice the packet timeout: its
// echo when the echo check is on, and with kAck also the acknowledgement
// (SF_ACK_RECEIVED; judged by the caller).
enum class WaitFor : uint8_t { kEcho, kAck };

// Writes `count` bytes; with the echo check on, records them in the echo
// buffer and succeeds only when their echo comes back unchanged. Returns the
// number of bytes written, or 0 on failure.
int32_t WriteBytes(runtime::RuntimeState& ctx, const uint8_t* buffer, int32_t count, WaitFor waitFor);

// The system's text for the last error, in a box with the information icon.
void ShowSystemError(runtime::RuntimeState& ctx);

}  // namespace zeva
