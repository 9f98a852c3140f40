#include "transact/data_interface.h"

#include <cstring>

#include "core/errors.h"
#include "core/int16.h"

namespace zeva {
namespace {

uint16_t Word(const uint8_t* bytes, int index) {
  return static_cast<uint16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

void PutWord(uint8_t* bytes, int index, uint16_t value) {
  bytes[2 * index] = static_cast<uint8_t>(value);
  bytes[2 * index + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

// The type is the last byte of the message Send and Query compose: it goes
// on the wire with the next Query that sends the output buffer.
int32_t SetType(transact::TransactState& ctx, int32_t type) {
  const int16_t v = Low16(type);
  if (v >= 10 && v <= 240) ctx.outputBuffer[kOutputBufferType] = static_cast<uint8_t>(v);
  return Widen16(v);
}

int32_t ClearBuffer(transact::TransactState& ctx) {
  std::memset(ctx.outputBuffer, 0, sizeof ctx.outputBuffer);
  return 0;
}

void SetInt(transact::TransactState& ctx, int32_t value, int32_t index) {
  const int16_t i = Low16(index);
  if (i == 0 || i == 1) PutWord(ctx.outputBuffer, i, static_cast<uint16_t>(Low16(value)));
}

void SetByte(transact::TransactState& ctx, int32_t value, int32_t index) {
  const int16_t v = Low16(value);
  const int16_t i = Low16(index);
  if (v >= 0 && v <= 255 && i >= 0 && i <= 3) ctx.outputBuffer[i] = static_cast<uint8_t>(v);
}

int32_t SetOut(transact::TransactState& ctx, int32_t bit, int32_t value) {
  const int16_t b = Low16(bit);
  if (b < 0 || b > 15) {
    return ctx.core.platform.ShowBox(kTextSetOutRange, kDriverCaption, MB_ICONERROR);
  }
  const auto mask = static_cast<uint16_t>(1u << b);
  uint16_t word0 = Word(ctx.outputBuffer, 0);
  word0 = Low16(value) != 0 ? static_cast<uint16_t>(word0 | mask) : static_cast<uint16_t>(word0 & ~mask);
  PutWord(ctx.outputBuffer, 0, word0);
  // Word 1 collects every bit SetOut has written since the buffer was cleared.
  PutWord(ctx.outputBuffer, 1, static_cast<uint16_t>(Word(ctx.outputBuffer, 1) | mask));
  return mask;
}

int32_t GetInt(const uint8_t* block, int32_t index) {
  const int16_t i = Low16(index);
  if (i != 0 && i != 1) return index;
  if (block == nullptr) return 0;
  return Widen16(static_cast<int16_t>(Word(block, i)));
}

int32_t GetByte(const uint8_t* block, int32_t index) {
  const int16_t i = Low16(index);
  // A block holds six bytes; reading past them would touch the caller's memory.
  if (block == nullptr || i < 0 || i > 5) return 0;
  return block[i];
}

int32_t GetType(const uint8_t* block) { return block == nullptr ? 0 : block[5]; }

}  // namespace zeva
