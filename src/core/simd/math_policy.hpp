#pragma once
// The two-argument arctangent and the logarithm a closed-form kernel is
// evaluated with, as a policy parameter of the kernel template: the same
// kernel code instantiated either way.
//
// FastMath: the documented branch-free approximations (absolute error below
//   1.7e-6 for atan2 and 1.1e-7 for ln, never NaN or infinite), which fix
//   every documented result bit for bit and vectorise.
// ExactMath: the library's std::atan2 and std::log, lane by lane: the exact
//   closed form (to rounding), for callers that need tight accuracy; slower,
//   and on an edge or corner of a source infinite where FastMath caps.
#include <cmath>

#include "core/simd/fastmath.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN

// atan2(y, x, guard): `guard` is the offset that keeps the fast quotient
// finite where both arguments vanish, in the units of x (the exact function
// needs none and ignores it).
struct FastMath {
  template <class W>
  static W atan2(W y, W x, W guard) { return fastmath::atan2(y, x, guard); }
  // ln |x|
  template <class W>
  static W ln(W x) { return fastmath::ln(x); }
};

struct ExactMath {
  template <class W>
  static W atan2(W y, W x, W) {
    return simd::lanewise(y, x, [](double a, double b) { return std::atan2(a, b); });
  }
  // ln |x|, as FastMath's (the sign is dropped)
  template <class W>
  static W ln(W x) {
    return simd::lanewise(x, x, [](double a, double) { return std::log(std::fabs(a)); });
  }
};

ZANDREL_END
