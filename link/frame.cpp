#include "link/frame.h"

namespace zeva::link {

namespace {

constexpr int32_t kShortBodySize = 3;  // destination, source, control
constexpr int32_t kDataBodySize = 9;   // destination, source, control, six data bytes

// The check bit of a protocol-1 short frame: the parity of destination +
// source + control without its own bit 7.
uint8_t Protocol1CheckBit(uint8_t destination, uint8_t source, uint8_t control) {
  const uint8_t sum = static_cast<uint8_t>(destination + source + (control & 0x7F));
  return (sum & 1) != 0 ? kCheckBit : 0;
}

}  // namespace

uint8_t Checksum(int32_t protocol, const uint8_t* body, size_t n) {
  if (protocol == 1) {
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + body[i]);
    return sum;
  }
  uint8_t acc = kProtocol2Seed;
  for (size_t i = 0; i < n; ++i) acc = ChecksumStep(body[i], acc);
  return acc;
}

DataFrame EncodeDataFrame(int32_t protocol, uint8_t destination, uint8_t source, uint8_t control,
                          const uint8_t data[6]) {
  DataFrame frame{kStartByte, destination, source, control,
                  data[0],    data[1],     data[2], data[3],
                  data[4],    data[5],     0};
  frame[10] = Checksum(protocol, frame.data() + 1, kDataBodySize);
  return frame;
}

ShortFrame EncodeShortFrame(int32_t protocol, uint8_t destination, uint8_t source,
                            uint8_t control) {
  ShortFrame frame;
  frame.size = ShortFrameSize(protocol);
  if (protocol == 1) {
    const uint8_t checked =
        static_cast<uint8_t>((control & 0x7F) | Protocol1CheckBit(destination, source, control));
    frame.bytes = {kStartByte, destination, source, checked, 0};
    return frame;
  }
  frame.bytes = {kStartByte, destination, source, control, 0};
  frame.bytes[4] = Checksum(protocol, frame.bytes.data() + 1, kShortBodySize);
  return frame;
}

ShortFrame EncodeAck(int32_t protocol, uint8_t receivedSource, uint8_t receivedDestination) {
  return EncodeShortFrame(protocol, receivedSource, receivedDestination, kAckControl);
}

ShortFrame EncodeType6ShortFrame(int32_t protocol, uint8_t destination, uint8_t source,
                                 uint8_t firstDataByte) {
  const uint8_t control = static_cast<uint8_t>(0x1E | ((firstDataByte & 3) << 5));
  return EncodeShortFrame(protocol, destination, source, control);
}

bool ShortFrameValid(int32_t protocol, const uint8_t* frame) {
  if (frame[0] != kStartByte || frame[1] >= 0x80 || !IsShortControl(frame[3])) return false;
  if (protocol == 1) {
    return (frame[3] & kCheckBit) == Protocol1CheckBit(frame[1], frame[2], frame[3]);
  }
  return frame[4] == Checksum(protocol, frame + 1, kShortBodySize);
}

bool DataFrameValid(int32_t protocol, const uint8_t* frame) {
  if (frame[0] != kStartByte || frame[1] >= 0x80 || IsShortControl(frame[3])) return false;
  return frame[10] == Checksum(protocol, frame + 1, kDataBodySize);
}

}  // namespace zeva::link
