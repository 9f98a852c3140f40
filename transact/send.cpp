#include "transact/send.h"

#include <vector>

#include "core/int16.h"
#include "core/scoped_mode.h"
#include "link/frame.h"
#include "runtime/port.h"
#include "runtime/wait.h"
#include "transact/data_interface.h"
#include "transact/transmitter.h"

namespace zeva {
namespace {

constexpr int32_t kMinimumRawFrame = 4;

// The raw checksum is always the protocol-2 one, whatever the setting. For a
// whole frame it covers everything between the start byte and the checksum
// slot, and is stored in that slot.
uint8_t RawChecksum(uint8_t* bytes, int32_t length, bool wholeFrame) {
  if (!wholeFrame) return link::Checksum(2, bytes, static_cast<size_t>(length));
  const uint8_t sum = link::Checksum(2, bytes + 1, static_cast<size_t>(length - 2));
  bytes[length - 1] = sum;
  return sum;
}

}  // namespace

int32_t Send(transact::TransactState& ctx, int32_t address, int32_t type, int32_t mode) {
  if (IsOpen(ctx) == 0) return kSendPortClosed;
  if (!IsBusAddress(address) || (mode != kModeNormal && mode != kModeUnacked)) return kSendBadArgument;
  ctx.outputBuffer[kOutputBufferReserved] = 0;
  ctx.outputBuffer[kOutputBufferType] = Low8(type);
  ctx.core.switches.responseMsg = 0;
  const OutgoingMessage message{.destination = Low8(address), .type = 1, .data = ctx.outputBuffer, .length = 6};
  const TransmitResult result = TransmitMessage(ctx, message, {.mode = static_cast<TransmitMode>(mode)});
  ClearBuffer(ctx);
  return result;
}

int32_t SendData(transact::TransactState& ctx, int32_t address, int32_t mode, int32_t type, const uint8_t* data,
                 int32_t length) {
  if (IsOpen(ctx) == 0) return kSendPortClosed;
  if (!IsBusAddress(address) || mode < kModeNormal || mode > kModeAlternating) return kSendBadArgument;
  const auto n = static_cast<uint16_t>(length);
  // Bytes that are not there cannot be sent.
  if (data == nullptr && n != 0) return kSendBadArgument;
  TransmitOptions options{.mode = static_cast<TransmitMode>(mode)};
  // The client's response code is for this one message only.
  if (mode == kModeAlternating && ctx.core.switches.responseMsg != 0) options.awaitedResponse = Low8(ctx.core.switches.responseMsg);
  const TransmitResult result =
      TransmitMessage(ctx, {.destination = Low8(address), .type = Low8(type), .data = data, .length = n}, options);
  ctx.core.switches.responseMsg = 0;
  return result;
}

int32_t SendRaw(transact::TransactState& ctx, uint8_t* bytes, int32_t length, int16_t* result, int32_t wholeFrame) {
  if (IsOpen(ctx) == 0) return 0;
  if (ctx.core.flags.AllSet(SF_TX_ACTIVE | SF_ECHO_PENDING)) return 0;
  const bool whole = Low16(wholeFrame) != 0;
  // Too short to hold a frame, or nothing to read from: nothing goes out.
  const bool writable = length >= (whole ? kMinimumRawFrame : 0) && (bytes != nullptr || length == 0);
  int32_t written = 0;
  uint8_t checksum = 0;
  {
    // Inside another transmission's wait (from a callback) the outer one
    // keeps its marks, its destination and its acknowledgement.
    const OuterTransmission outer(ctx);
    // Raw bytes need not look like a frame: while they are under way the
    // receive path places their echo at any byte.
    const ScopedMode raw(ctx.rawSendActive, 1);
    ctx.core.flags.Set(SF_TX_ACTIVE);
    if (writable) {
      checksum = RawChecksum(bytes, length, whole);
      written = WriteBytes(ctx, bytes, length, WaitFor::kEcho);
    }
    EndTransmission(ctx, 0);
  }
  if (written == 0) return 0;
  if (result != nullptr) *result = checksum;
  return 1;
}

int32_t TestStream(transact::TransactState& ctx, int32_t fill, int32_t count) {
  const int16_t n = Low16(count);
  if (n < 0) return 0;  // no block of that size
  std::vector<uint8_t> block(static_cast<size_t>(n) + 1, Low8(fill));
  if (IsOpen(ctx) == 0) return 0;
  WriteBytes(ctx, block.data(), n, WaitFor::kEcho);
  return 1;
}

}  // namespace zeva
