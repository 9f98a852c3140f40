// The ZEVA wire format: one codec for the whole system. The transmitter, the
// dispatcher's acknowledgements, the raw send and the bus simulator all build
// and check frames with these functions. Pure byte arithmetic, no I/O.
//
// Data frame (11 bytes, both variants):
//   FE  destination  source  control  d0 d1 d2 d3 d4 d5  checksum
// Short frame (acknowledgements, types 6 and 7), no data bytes:
//   protocol 1: FE destination source control        (bit 7 of control = check bit)
//   protocol 2: FE destination source control checksum
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zeva::link {

inline constexpr uint8_t kStartByte = 0xFE;
inline constexpr int32_t kDataFrameSize = 11;
inline constexpr uint8_t kProtocol2Seed = 0x17;

// Control byte fields.
inline constexpr uint8_t kTypeMask = 0x07;
inline constexpr uint8_t kAlternationBit = 0x08;
inline constexpr uint8_t kAckBit = 0x10;
inline constexpr uint8_t kNoAckWanted = 0x18;  // bits 3 and 4: do not acknowledge
inline constexpr uint8_t kCheckBit = 0x80;     // protocol-1 short frames
inline constexpr uint8_t kAckControl = 0x10;   // type 0, acknowledgement bit, code 0

constexpr uint8_t ControlType(uint8_t control) { return control & kTypeMask; }
constexpr uint8_t Control5(uint8_t control) { return control & 0x1F; }
// Data frames: number of valid data bytes (0..6; 7 is possible on the wire).
constexpr uint8_t ControlCount(uint8_t control) { return static_cast<uint8_t>(control >> 5); }
// Short frames: the 2-bit code in bits 5-6.
constexpr uint8_t ShortFrameCode(uint8_t control) { return static_cast<uint8_t>((control >> 5) & 3); }
constexpr uint8_t CountField(int count) { return static_cast<uint8_t>((count & 7) << 5); }

// Frame kind on receipt: short for types 6 and 7 (whatever bits 3 and 4 say)
// and for acknowledgements (bit 4 without bit 3); data frame otherwise.
constexpr bool IsShortControl(uint8_t control) {
  const uint8_t c5 = Control5(control);
  return (c5 & 0x06) == 0x06 || (c5 & 0x18) == 0x10;
}

// Every protocol value other than 1 follows the protocol-2 rules.

// Size of a short frame in a protocol variant (4 or 5).
constexpr int32_t ShortFrameSize(int32_t protocol) { return protocol == 1 ? 4 : 5; }

// One step of the protocol-2 checksum: rotate the accumulator left by one
// bit, then add the byte, modulo 256.
constexpr uint8_t ChecksumStep(uint8_t byte, uint8_t acc) {
  return static_cast<uint8_t>(static_cast<uint8_t>((acc << 1) | (acc >> 7)) + byte);
}

// Checksum of bytes [1, n) of a frame's body in a variant: protocol 1 is the
// 8-bit sum, protocol 2 is ChecksumStep from 0x17. `body` points at the
// destination byte (offset 1) and n counts the bytes to take.
uint8_t Checksum(int32_t protocol, const uint8_t* body, size_t n);

using DataFrame = std::array<uint8_t, kDataFrameSize>;

// An encoded short frame: bytes[0..size).
struct ShortFrame {
  std::array<uint8_t, 5> bytes{};
  int32_t size = 0;
};

// The 11 bytes of a data frame with the checksum filled in.
DataFrame EncodeDataFrame(int32_t protocol, uint8_t destination, uint8_t source, uint8_t control,
                          const uint8_t data[6]);

// A short frame. Protocol 1: the check bit (bit 7) of control is computed and
// set; protocol 2: the checksum byte is appended. Bit 7 of `control` as given
// is ignored in protocol 1 and kept in protocol 2.
ShortFrame EncodeShortFrame(int32_t protocol, uint8_t destination, uint8_t source, uint8_t control);

// The acknowledgement of a received data frame: back to its source, from its
// destination.
ShortFrame EncodeAck(int32_t protocol, uint8_t receivedSource, uint8_t receivedDestination);

// The short frame of a type-6 message (the reset-communication command):
// control 0x1E with the low two bits of the first data byte as its code.
ShortFrame EncodeType6ShortFrame(int32_t protocol, uint8_t destination, uint8_t source,
                                 uint8_t firstDataByte);

// True when the short frame at `frame` (size ShortFrameSize(protocol)) checks
// the way the parser checks it: start byte, destination below 0x80, a short
// control byte, and the check bit (protocol 1) or checksum byte (protocol 2).
bool ShortFrameValid(int32_t protocol, const uint8_t* frame);
// True when the 11-byte data frame at `frame` checks the way the parser checks
// it: start byte, destination below 0x80, a data control byte, checksum.
bool DataFrameValid(int32_t protocol, const uint8_t* frame);

}  // namespace zeva::link
