// Wire bytes for the tests, built with the library's own codec so that a
// test's expected frame and the driver's frame come from one encoder; the
// codec's own tests pin that encoder to worked examples.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/frame.h"

namespace zeva::test {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const link::DataFrame& f) { return Bytes(f.begin(), f.end()); }
inline Bytes ToBytes(const link::ShortFrame& f) { return Bytes(f.bytes.begin(), f.bytes.begin() + f.size); }

// A data frame with up to six data bytes; the ones not given are 0.
inline Bytes DataFrameBytes(int32_t protocol, uint8_t destination, uint8_t source, uint8_t control,
                            const Bytes& data) {
  uint8_t d[6] = {0, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < data.size() && i < 6; ++i) d[i] = data[i];
  return ToBytes(link::EncodeDataFrame(protocol, destination, source, control, d));
}

// The acknowledgement `ackFrom` sends for a data frame that came from `ackTo`.
inline Bytes AckBytes(int32_t protocol, uint8_t ackTo, uint8_t ackFrom) {
  return ToBytes(link::EncodeAck(protocol, ackTo, ackFrom));
}

inline Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The first n bytes: a frame cut short on the line.
inline Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// "FE 05 01 ..." for failure messages.
inline std::string Hex(const Bytes& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, s.empty() ? "%02X" : " %02X", v);
    s += b;
  }
  return s;
}

}  // namespace zeva::test
