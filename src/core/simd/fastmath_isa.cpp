// The fast arctangent and logarithm over arrays, compiled once per
// instruction set: full vectors, then the remainder in a zero-padded vector.
#include <cstddef>

#include "core/simd/fastmath.hpp"
#include "core/dispatch/kernel_api.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;
constexpr std::size_t lanes = W::lanes;

// out[i] = fn(in0[i], in1[i]) (in1 unused for one-argument functions).
template <class Fn>
void apply(const double* in0, const double* in1, double* out, std::size_t n, Fn fn) {
  std::size_t i = 0;
  for (; i + lanes <= n; i += lanes) fn(W::load(in0 + i), W::load(in1 + i)).store(out + i);
  if (i == n) return;
  alignas(64) double a[lanes] = {}, b[lanes] = {}, r[lanes] = {};
  for (std::size_t k = 0; i + k < n; ++k) a[k] = in0[i + k], b[k] = in1[i + k];
  fn(W::load(a), W::load(b)).store(r);
  for (std::size_t k = 0; i + k < n; ++k) out[i + k] = r[k];
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
