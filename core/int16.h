// One way to say "low 16 bits as signed": exported functions receive 32-bit
// argument slots of which only the low 16 bits carry a 16-bit value.
#pragma once

#include <cstdint>

namespace zeva {

// The low 16 bits of a 32-bit slot, as a signed value (65537 -> 1, 65535 -> -1).
constexpr int16_t Low16(int32_t slot) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(slot) & 0xFFFFu));
}

// A 16-bit value sign-extended into a 32-bit result slot.
constexpr int32_t Widen16(int16_t value) { return value; }

// The low 8 bits of a slot as an unsigned byte.
constexpr uint8_t Low8(int32_t slot) { return static_cast<uint8_t>(static_cast<uint32_t>(slot) & 0xFFu); }

// Whether a 16-bit address slot names a place on the bus: 0 (every device)
// to 127. Only the low byte goes on the wire, so 256 would reach every
// device and 261 device 5; a destination with bit 7 set reaches nobody.
constexpr bool IsBusAddress(int32_t slot) {
  const int16_t address = Low16(slot);
  return address >= 0 && address <= 127;
}

}  // namespace zeva
