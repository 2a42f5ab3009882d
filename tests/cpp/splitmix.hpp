#pragma once

// A seeded pseudo-random source whose output is fixed by its definition alone
// (SplitMix64), unlike the standard library's distributions, whose algorithms
// differ between implementations. Tests that pin exact bits draw from it.

#include <cstdint>

namespace tavrino_test {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  // A double in [0, 1) from the top 53 bits.
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // A double in [-scale, scale).
  double symmetric(double scale) { return (2.0 * unit() - 1.0) * scale; }

 private:
  std::uint64_t state_;
};

}  // namespace tavrino_test
