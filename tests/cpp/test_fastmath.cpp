// Fast arctangent and logarithm: the exact values of their special cases,
// their accuracy against the library functions, and identical results for a
// single lane, every portable vector width and every instruction-set build.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/dispatch/dispatch.hpp"
#include "core/simd/fastmath.hpp"

namespace zandrel {
namespace {

namespace fm = fastmath;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool same_value(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof(double)) == 0;
}

TEST(FastMath, AtanApproxAtOneIsTheSumOfTheCoefficients) {
  const double sum = ((((-0.0117212 + 0.05265332) + -0.11643287) + 0.19354346) + -0.33262347) + 0.99997726;
  EXPECT_EQ(fm::atan_approx(1.0), sum);
  EXPECT_NEAR(fm::atan_approx(1.0), 0.7853965, 1e-15);
  EXPECT_NEAR(M_PI / 4 - fm::atan_approx(1.0), 1.66e-6, 0.01e-6);
}

TEST(FastMath, AtanBranches) {
  EXPECT_EQ(fm::atan(0.0), 0.0);
  EXPECT_EQ(fm::atan(-2.0), -(1.5707963267948966 - fm::atan_approx(0.5)));
  EXPECT_EQ(fm::atan(2.0), 1.5707963267948966 - fm::atan_approx(0.5));
  // 1.0 is not reduced (the test is a <= 1).
  EXPECT_EQ(fm::atan(1.0), fm::atan_approx(1.0));
  EXPECT_EQ(fm::atan(-1.0), -fm::atan_approx(1.0));
  EXPECT_TRUE(std::isnan(fm::atan(nan)));
  EXPECT_EQ(fm::atan(inf), 1.5707963267948966);
  EXPECT_EQ(fm::atan(-inf), -1.5707963267948966);
}

TEST(FastMath, Atan2SpecialCases) {
  EXPECT_EQ(fm::atan2(0.0, 0.0), 0.0);
  EXPECT_EQ(fm::atan2(1.0, 0.0), 1.5707963267948966);
  // A zero quotient after the swap takes its sign from y: the angle of (0, -1)
  // is -pi/2 (the plain "t >= 0" test would give +pi/2 for the quotient -0).
  EXPECT_EQ(fm::atan2(-1.0, 0.0), -1.5707963267948966);
  EXPECT_EQ(fm::atan2(-1.0, -0.0), -1.5707963267948966);
  EXPECT_EQ(fm::atan2(1.0, -0.0), 1.5707963267948966);
  EXPECT_EQ(fm::atan2(-1.0, 1e-300), -1.5707963267948966);
  // The quadrant correction also applies without a swap.
  EXPECT_NEAR(fm::atan2(0.1, -1.0), 3.0419, 1e-4);
  EXPECT_NEAR(fm::atan2(-0.1, -1.0), -3.0419, 1e-4);
  EXPECT_GT(fm::atan2(0.0, -1.0), 3.14159);
  // |x| == |y| is not swapped: the quotient is +-1 (1 + 1e-16 rounds to 1).
  EXPECT_EQ(fm::atan2(1.0, 1.0), fm::atan_approx(1.0));
  EXPECT_EQ(fm::atan2(-1.0, -1.0), fm::atan_approx(1.0) - 3.141592653589793);
  EXPECT_EQ(fm::atan2(1.0, -1.0), -fm::atan_approx(1.0) + 3.141592653589793);
  EXPECT_TRUE(std::isnan(fm::atan2(nan, 1.0)));
}

TEST(FastMath, LnSpecialCases) {
  EXPECT_EQ(fm::ln(1.0), 0.0);
  EXPECT_EQ(fm::ln(2.0), 0.6931471805599453);
  EXPECT_EQ(fm::ln(0.0), -709.0895657128241);
  EXPECT_EQ(fm::ln(-0.0), -709.0895657128241);
  EXPECT_EQ(fm::ln(-2.0), fm::ln(2.0));
  EXPECT_EQ(fm::ln(inf), 709.782712893384);
  // A subnormal reads as exponent -1023 with an implicit leading one:
  // 2^-1023 has the mantissa field 0.5, so it is taken as 1.5 * 2^-1023.
  const double two_pow_m1023 = std::ldexp(1.0, -1023);
  ASSERT_EQ(std::fpclassify(two_pow_m1023), FP_SUBNORMAL);
  EXPECT_EQ(fm::ln(two_pow_m1023), -1023.0 * 0.6931471805599453 + fm::ln(1.5));
  EXPECT_EQ(fm::ln(std::numeric_limits<double>::denorm_min()), fm::ln(0.0) + fm::ln(1.0 + 0x1p-52));
  EXPECT_TRUE(std::isfinite(fm::ln(nan)));
}

TEST(FastMath, AccuracyAgainstLibraryFunctions) {
  double worst_approx = 0.0, worst_atan = 0.0, worst_atan2 = 0.0, worst_ln = 0.0;
  for (int i = -20000; i <= 20000; ++i) {
    const double v = i / 20000.0;
    worst_approx = std::max(worst_approx, std::fabs(fm::atan_approx(v) - std::atan(v)));
  }
  std::mt19937_64 rng(3);
  // Radii well above the 1e-16 guard that atan2 adds to its denominator.
  std::uniform_real_distribution<double> expo(-30.0, 30.0), angle(-M_PI, M_PI), radius_expo(-10.0, 30.0);
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  for (int i = 0; i < 200000; ++i) {
    const double v = std::copysign(std::exp(expo(rng)), angle(rng));
    worst_atan = std::max(worst_atan, std::fabs(fm::atan(v) - std::atan(v)));
    const double a = angle(rng), radius = std::exp(radius_expo(rng));
    const double y = radius * std::sin(a), x = radius * std::cos(a);
    worst_atan2 = std::max(worst_atan2, std::fabs(fm::atan2(y, x) - std::atan2(y, x)));
    const double p = std::ldexp(unit(rng), static_cast<int>(expo(rng) * 30));
    worst_ln = std::max(worst_ln, std::fabs(fm::ln(p) - std::log(p)));
  }
  EXPECT_LT(worst_approx, 1.7e-6);
  EXPECT_LT(worst_atan, 1.7e-6);
  EXPECT_LT(worst_atan2, 1.7e-6);
  EXPECT_LT(worst_ln, 1.1e-7);
}

// Inputs that reach every branch, blend and bit manipulation.
std::vector<double> awkward_values() {
  std::vector<double> v = {0.0,  -0.0, 1.0,   -1.0,   2.0,    -2.0,  0.5,   1e-300, -1e-300, 1e300, -1e300,
                           inf,  -inf, nan,   1e-16,  -1e-16, 3.0,   0.999, 1.0001, 7e-310, -7e-310,
                           std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max()};
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> expo(-40.0, 40.0), sign(-1.0, 1.0);
  while (v.size() < 203) v.push_back(std::copysign(std::exp(expo(rng)), sign(rng)));
  return v;
}

template <class W>
void expect_lanes_match_scalar(const std::vector<double>& values) {
  constexpr int lanes = W::lanes;
  for (std::size_t i = 0; i + lanes <= values.size(); ++i) {
    const W v = W::load(values.data() + i);
    const W w = W::load(values.data() + (values.size() - lanes - i));
    double a[lanes], b[lanes], c[lanes];
    fm::atan(v).store(a);
    fm::atan2(v, w).store(b);
    fm::ln(v).store(c);
    for (int k = 0; k < lanes; ++k) {
      const double x = values[i + k], y = values[values.size() - lanes - i + k];
      EXPECT_TRUE(same_value(a[k], fm::atan(x))) << x;
      EXPECT_TRUE(same_value(b[k], fm::atan2(x, y))) << x << " " << y;
      EXPECT_TRUE(same_value(c[k], fm::ln(x))) << x;
    }
  }
}

TEST(FastMath, PortableVectorLanesEqualScalar) {
  const std::vector<double> values = awkward_values();
  expect_lanes_match_scalar<simd::Lanes<2>>(values);
  expect_lanes_match_scalar<simd::Lanes<4>>(values);
  expect_lanes_match_scalar<simd::Lanes<8>>(values);
}

TEST(FastMath, EveryBuildEqualsScalarForEveryLengthAndOffset) {
  const std::vector<double> values = awkward_values();
  const std::vector<double> other(values.rbegin(), values.rend());
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) continue;
    const FastMathKernels& k = fastmath_kernels(isa);
    // Each value passes through every lane and through the padded tail.
    for (std::size_t begin = 0; begin < 9; ++begin) {
      for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{5}, std::size_t{8},
                            std::size_t{13}, values.size() - begin}) {
        std::vector<double> a(n), b(n), c(n);
        k.atan(values.data() + begin, a.data(), n);
        k.atan2(values.data() + begin, other.data() + begin, b.data(), n);
        k.ln(values.data() + begin, c.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
          const double x = values[begin + i], y = other[begin + i];
          ASSERT_TRUE(same_value(a[i], fm::atan(x))) << isa_name(isa) << " atan " << x;
          ASSERT_TRUE(same_value(b[i], fm::atan2(x, y))) << isa_name(isa) << " atan2 " << x << " " << y;
          ASSERT_TRUE(same_value(c[i], fm::ln(x))) << isa_name(isa) << " ln " << x;
        }
      }
    }
  }
}

}  // namespace
}  // namespace zandrel
