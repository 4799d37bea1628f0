// SPDX-License-Identifier: GPL-3.0-or-later
// The random numbers of the sample cards: splitmix64, small, fast and the same on every machine, so
// that a seed always gives the same card.
#pragma once

#include <cstdint>

namespace tools {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Unit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double Range(double lo, double hi) { return lo + (hi - lo) * Unit(); }
  int Int(int lo, int hi) { return lo + int(Next() % std::uint64_t(hi - lo + 1)); }

 private:
  std::uint64_t state_;
};

}  // namespace tools
