#pragma once

// Two doubles operated on together. Every lane of every operation is the
// ordinary IEEE operation on that lane, so code written with pairs gives the
// values of the same code written with scalars, two at a time: the last bits do
// not move. No fused multiply-add is ever formed (the build forbids contraction).

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrino::detail {

using DoublePair = double __attribute__((vector_size(16)));

inline DoublePair pair_of(double lo, double hi) { return DoublePair{lo, hi}; }
inline DoublePair splat(double v) { return DoublePair{v, v}; }

// From memory of any alignment.
inline DoublePair load_pair(const double* p) {
  DoublePair out;
  __builtin_memcpy(&out, p, sizeof out);
  return out;
}

// (a[0], b[0]) and (a[1], b[1]).
inline DoublePair low_lanes(DoublePair a, DoublePair b) { return DoublePair{a[0], b[0]}; }
inline DoublePair high_lanes(DoublePair a, DoublePair b) { return DoublePair{a[1], b[1]}; }

// The correctly rounded square root of each lane (NaN for a negative lane).
inline DoublePair sqrt_lanes(DoublePair v) {
#if defined(__SSE2__)
  return _mm_sqrt_pd(v);
#else
  return DoublePair{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

}  // namespace tavrino::detail
