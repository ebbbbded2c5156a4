// The fast arctangent and logarithm over arrays, instantiated for this
// instruction-set build (through the one lane loop: full vectors, then the
// remainder zero-padded).
#include <array>
#include <cstddef>

#include "core/dispatch/kernel_table.hpp"
#include "core/simd/fastmath.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/target_loop.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;

// out[i] = fn(in0[i], in1[i]).
template <class Fn>
void apply(const double* in0, const double* in1, double* out, std::size_t n, Fn fn) {
  for_each_lane_pass<W, 1>(n, Consecutive{}, std::array<const double*, 2>{in0, in1}, std::array<double*, 1>{out},
                           [&](const LanePass<W, 1, 2>& in, LanePass<W, 1, 1>& result, std::size_t) {
                             result[0][0] = fn(in[0][0], in[0][1]);
                           });
}

void atan_array(const double* v, double* out, std::size_t n) {
  apply(v, v, out, n, [](W a, W) { return fastmath::atan(a); });
}
void atan2_array(const double* y, const double* x, double* out, std::size_t n) {
  apply(y, x, out, n, [](W a, W b) { return fastmath::atan2(a, b); });
}
void ln_array(const double* x, double* out, std::size_t n) {
  apply(x, x, out, n, [](W a, W) { return fastmath::ln(a); });
}

}  // namespace

const FastMathKernels& fastmath_kernels_table() {
  static const FastMathKernels table{&atan_array, &atan2_array, &ln_array};
  return table;
}

ZANDREL_END
