#pragma once
// Fast arctangent and logarithm for the closed-form tetrahedron kernels.
// They sit in the innermost target loops, so they are branch-free templates
// over the vector type W (both alternatives are computed and blended) and use
// only correctly rounded operations: a scalar lane (simd::V1) and every lane
// of a vector give bit-identical results. The kernels' results are defined in
// terms of these approximations, not of the library functions.
#include <cstdint>

#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN
namespace fastmath {

inline constexpr double half_pi = 1.5707963267948966;
inline constexpr double pi = 3.141592653589793;
inline constexpr double ln_2 = 0.6931471805599453;
// Keeps atan2's quotient finite when both arguments are zero: added to the
// denominator. Callers whose arguments carry a length scale pass their own,
// scaled with it (the solid angle of a face: this times the cube of its
// element's length unit).
inline constexpr double atan2_guard = 1e-16;
// The arctangent polynomial's slope at 0 (its last coefficient): limits of
// arctangent terms near 0 are taken with it, so that they join the polynomial.
inline constexpr double atan_slope_at_zero = 0.99997726;

// Odd polynomial of degree 11 for arctan on [-1, 1] (absolute error below
// 1.7e-6 there; it diverges outside). Horner steps are fused multiply-adds.
template <class W>
inline W atan_approx(W v) {
  using simd::fma;
  const W s = v * v;
  W p = W::set1(-0.0117212);
  p = fma(p, s, W::set1(0.05265332));
  p = fma(p, s, W::set1(-0.11643287));
  p = fma(p, s, W::set1(0.19354346));
  p = fma(p, s, W::set1(-0.33262347));
  p = fma(p, s, W::set1(atan_slope_at_zero));
  return v * p;
}

// arctan for every finite v: |v| > 1 is reduced through arctan(1/|v|); the
// sign is restored at the end. A NaN takes the direct branch.
template <class W>
inline W atan(W v) {
  const W a = simd::abs(v);
  const W direct = atan_approx(a);
  const W reduced = W::set1(half_pi) - atan_approx(W::set1(1.0) / a);
  const W r = simd::select(a > W::set1(1.0), reduced, direct);
  return simd::select(v < W::set1(0.0), -r, r);
}

// Angle of the point (x, y) in [-pi, pi], y first. The quotient always has
// magnitude at most one (octant swap on |x| < |y|); the quadrant correction
// is applied whether or not the arguments were swapped.
template <class W>
inline W atan2(W y, W x, W guard) {
  const W zero = W::set1(0.0);
  const auto swap = simd::abs(x) < simd::abs(y);
  const W num = simd::select(swap, x, y);
  const W den = simd::select(swap, y, x);
  const W t = num / (den + guard);
  W r = atan_approx(t);
  // After the swap the angle is +-pi/2 - atan(t), the sign being that of t.
  // A zero quotient (x = +-0) carries no usable sign, so the sign of y
  // decides there: (y = -1, x = 0) is -pi/2, not +pi/2. A NaN quotient fails
  // every test and leaves r unchanged.
  const auto upper = (t > zero) | ((t == zero) & (y > zero));
  const auto lower = (t < zero) | ((t == zero) & (y < zero));
  r = simd::select(swap & upper, W::set1(half_pi) - r, simd::select(swap & lower, W::set1(-half_pi) - r, r));
  const auto left = x < zero;
  r = simd::select(left & (y >= zero), r + W::set1(pi), simd::select(left & (y < zero), r - W::set1(pi), r));
  return r;
}

template <class W>
inline W atan2(W y, W x) {
  return atan2(y, x, W::set1(atan2_guard));
}

// Natural logarithm of |x|: x = m * 2^e with m in [1, 2) taken from the bits
// (sign dropped), ln m from the series of 2 artanh(s), s = (m - 1)/(m + 1) < 1/3.
// Never NaN or infinite: 0 gives -1023 ln 2, +inf gives 1024 ln 2, and a
// subnormal is read as exponent -1023 with an implicit leading one.
template <class W>
inline W ln(W x) {
  using simd::fma;
  const W m = simd::bit_or(simd::bit_and(x, 0x000FFFFFFFFFFFFFULL), 0x3FF0000000000000ULL);
  const W e = simd::exponent_field(x) - W::set1(1023.0);
  const W s = (m + W::set1(-1.0)) / (W::set1(1.0) + m);
  const W q = s * s;
  W p = W::set1(0.09090909090909091);
  p = fma(p, q, W::set1(0.1111111111111111));
  p = fma(p, q, W::set1(0.14285714285714285));
  p = fma(p, q, W::set1(0.2));
  p = fma(p, q, W::set1(0.3333333333333333));
  p = fma(p, q, W::set1(1.0));
  return e * W::set1(ln_2) + (s + s) * p;
}

// Scalar forms (one lane of the same code).
inline double atan_approx(double v) { return atan_approx(simd::V1::set1(v)).v[0]; }
inline double atan(double v) { return atan(simd::V1::set1(v)).v[0]; }
inline double atan2(double y, double x) { return atan2(simd::V1::set1(y), simd::V1::set1(x)).v[0]; }
inline double ln(double x) { return ln(simd::V1::set1(x)).v[0]; }

}  // namespace fastmath
ZANDREL_END
