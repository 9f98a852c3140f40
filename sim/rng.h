// The simulator's own pseudo-random generator (SplitMix64): every random
// fault decision comes from here, so a run is repeated exactly by its seed.
#pragma once

#include <cstdint>

namespace zeva::sim {

class Rng {
 public:
  explicit Rng(uint64_t seed = 1) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // True with probability p (0 never draws, so a fault-free run does not
  // shift the sequence of a later fault).
  bool Chance(double p) {
    if (p <= 0.0) return false;
    if (p >= 1.0) return true;
    return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p;
  }

  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

  // A byte other than 0, for flipping bits of a byte that must change.
  uint8_t NonZeroByte() {
    for (;;) {
      const uint8_t b = Byte();
      if (b != 0) return b;
    }
  }

 private:
  uint64_t state_;
};

}  // namespace zeva::sim
