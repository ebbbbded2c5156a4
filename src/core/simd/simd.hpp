#pragma once
// The small vector type the kernels are written against. A kernel is a
// template over V; it is compiled with V = the widest type the translation
// unit's flags allow (Lanes<4> portable, Avx2 with 4 doubles, Avx512 with 8)
// and with V = Lanes<1> for single-target scalar use. Every operation is a
// correctly rounded IEEE operation, so all widths give bit-identical lanes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd/isa.hpp"

#if defined(ZANDREL_ISA_AVX2) || defined(ZANDREL_ISA_AVX512)
// GCC 12 reports the deliberately undefined vector inside its own
// _mm512_sqrt_pd as uninitialized where that is inlined into a function
// kept out of line.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

ZANDREL_BEGIN
namespace simd {

inline double bits_to_double(std::uint64_t b) { double d; std::memcpy(&d, &b, 8); return d; }
inline std::uint64_t double_to_bits(double d) { std::uint64_t b; std::memcpy(&b, &d, 8); return b; }

constexpr std::uint64_t sign_mask = 0x8000000000000000ULL;
constexpr std::uint64_t two_pow_52_bits = 0x4330000000000000ULL;
constexpr double two_pow_52 = 4503599627370496.0;

// ---- portable: a plain array of lanes ------------------------------------
template <int N>
struct LaneMask {
  bool m[N];
};

template <int N>
struct Lanes {
  static constexpr int lanes = N;
  using mask = LaneMask<N>;
  double v[N];

  static Lanes load(const double* p) { Lanes r; for (int i = 0; i < N; ++i) r.v[i] = p[i]; return r; }
  static Lanes set1(double x) { Lanes r; for (int i = 0; i < N; ++i) r.v[i] = x; return r; }
  void store(double* p) const { for (int i = 0; i < N; ++i) p[i] = v[i]; }
  double lane(int i) const { return v[i]; }
};

#define ZANDREL_LANEWISE_BINARY(op)                                           \
  template <int N> inline Lanes<N> operator op(Lanes<N> a, Lanes<N> b) {      \
    Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = a.v[i] op b.v[i]; return r; }
ZANDREL_LANEWISE_BINARY(+)
ZANDREL_LANEWISE_BINARY(-)
ZANDREL_LANEWISE_BINARY(*)
ZANDREL_LANEWISE_BINARY(/)
#undef ZANDREL_LANEWISE_BINARY

#define ZANDREL_LANEWISE_COMPARE(op)                                          \
  template <int N> inline LaneMask<N> operator op(Lanes<N> a, Lanes<N> b) {   \
    LaneMask<N> r; for (int i = 0; i < N; ++i) r.m[i] = a.v[i] op b.v[i]; return r; }
ZANDREL_LANEWISE_COMPARE(<)
ZANDREL_LANEWISE_COMPARE(<=)
ZANDREL_LANEWISE_COMPARE(>)
ZANDREL_LANEWISE_COMPARE(>=)
ZANDREL_LANEWISE_COMPARE(==)
#undef ZANDREL_LANEWISE_COMPARE

template <int N> inline Lanes<N> operator-(Lanes<N> a) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = -a.v[i]; return r; }
template <int N> inline LaneMask<N> operator&(LaneMask<N> a, LaneMask<N> b) { LaneMask<N> r; for (int i = 0; i < N; ++i) r.m[i] = a.m[i] && b.m[i]; return r; }
template <int N> inline LaneMask<N> operator|(LaneMask<N> a, LaneMask<N> b) { LaneMask<N> r; for (int i = 0; i < N; ++i) r.m[i] = a.m[i] || b.m[i]; return r; }
template <int N> inline LaneMask<N> operator!(LaneMask<N> a) { LaneMask<N> r; for (int i = 0; i < N; ++i) r.m[i] = !a.m[i]; return r; }
template <int N> inline Lanes<N> fma(Lanes<N> a, Lanes<N> b, Lanes<N> c) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = std::fma(a.v[i], b.v[i], c.v[i]); return r; }
template <int N> inline Lanes<N> sqrt(Lanes<N> a) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = std::sqrt(a.v[i]); return r; }
template <int N> inline Lanes<N> abs(Lanes<N> a) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = bits_to_double(double_to_bits(a.v[i]) & ~sign_mask); return r; }
// copysign(magnitude of a, sign of b)
template <int N> inline Lanes<N> copysign(Lanes<N> a, Lanes<N> b) {
  Lanes<N> r;
  for (int i = 0; i < N; ++i) r.v[i] = bits_to_double((double_to_bits(a.v[i]) & ~sign_mask) | (double_to_bits(b.v[i]) & sign_mask));
  return r;
}
template <int N> inline LaneMask<N> isnan(Lanes<N> a) { LaneMask<N> r; for (int i = 0; i < N; ++i) r.m[i] = a.v[i] != a.v[i]; return r; }
template <int N> inline bool any(LaneMask<N> m) { bool r = false; for (int i = 0; i < N; ++i) r = r || m.m[i]; return r; }
template <int N> inline Lanes<N> select(LaneMask<N> m, Lanes<N> a, Lanes<N> b) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = m.m[i] ? a.v[i] : b.v[i]; return r; }
// bits(a) AND bits(b) / OR, lane by lane, for exponent and mantissa surgery
template <int N> inline Lanes<N> bit_and(Lanes<N> a, std::uint64_t b) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = bits_to_double(double_to_bits(a.v[i]) & b); return r; }
template <int N> inline Lanes<N> bit_or(Lanes<N> a, std::uint64_t b) { Lanes<N> r; for (int i = 0; i < N; ++i) r.v[i] = bits_to_double(double_to_bits(a.v[i]) | b); return r; }
// The biased exponent field ((bits >> 52) AND 0x7FF) as an exact double.
template <int N> inline Lanes<N> exponent_field(Lanes<N> a) {
  Lanes<N> r;
  for (int i = 0; i < N; ++i) r.v[i] = static_cast<double>((double_to_bits(a.v[i]) >> 52) & 0x7FF);
  return r;
}

using V1 = Lanes<1>;

#if defined(ZANDREL_ISA_AVX2)
// ---- AVX2 + FMA: four doubles ----------------------------------------------
struct Avx2Mask { __m256d m; };
struct Avx2 {
  static constexpr int lanes = 4;
  using mask = Avx2Mask;
  __m256d v;
  static Avx2 load(const double* p) { return {_mm256_loadu_pd(p)}; }
  static Avx2 set1(double x) { return {_mm256_set1_pd(x)}; }
  void store(double* p) const { _mm256_storeu_pd(p, v); }
};
inline Avx2 operator+(Avx2 a, Avx2 b) { return {_mm256_add_pd(a.v, b.v)}; }
inline Avx2 operator-(Avx2 a, Avx2 b) { return {_mm256_sub_pd(a.v, b.v)}; }
inline Avx2 operator*(Avx2 a, Avx2 b) { return {_mm256_mul_pd(a.v, b.v)}; }
inline Avx2 operator/(Avx2 a, Avx2 b) { return {_mm256_div_pd(a.v, b.v)}; }
inline Avx2 operator-(Avx2 a) { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
inline Avx2Mask operator<(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
inline Avx2Mask operator<=(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
inline Avx2Mask operator>(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
inline Avx2Mask operator>=(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
inline Avx2Mask operator==(Avx2 a, Avx2 b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
inline Avx2Mask operator&(Avx2Mask a, Avx2Mask b) { return {_mm256_and_pd(a.m, b.m)}; }
inline Avx2Mask operator|(Avx2Mask a, Avx2Mask b) { return {_mm256_or_pd(a.m, b.m)}; }
inline Avx2Mask operator!(Avx2Mask a) { return {_mm256_xor_pd(a.m, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))}; }
inline Avx2 fma(Avx2 a, Avx2 b, Avx2 c) { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
inline Avx2 sqrt(Avx2 a) { return {_mm256_sqrt_pd(a.v)}; }
inline Avx2 abs(Avx2 a) { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)}; }
inline Avx2 copysign(Avx2 a, Avx2 b) {
  const __m256d s = _mm256_set1_pd(-0.0);
  return {_mm256_or_pd(_mm256_andnot_pd(s, a.v), _mm256_and_pd(s, b.v))};
}
inline Avx2Mask isnan(Avx2 a) { return {_mm256_cmp_pd(a.v, a.v, _CMP_UNORD_Q)}; }
inline bool any(Avx2Mask m) { return _mm256_movemask_pd(m.m) != 0; }
inline Avx2 select(Avx2Mask m, Avx2 a, Avx2 b) { return {_mm256_blendv_pd(b.v, a.v, m.m)}; }
inline Avx2 bit_and(Avx2 a, std::uint64_t b) { return {_mm256_and_pd(a.v, _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(b))))}; }
inline Avx2 bit_or(Avx2 a, std::uint64_t b) { return {_mm256_or_pd(a.v, _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(b))))}; }
inline Avx2 exponent_field(Avx2 a) {
  // (bits >> 52) & 0x7FF placed in the mantissa of 2^52, minus 2^52: exact.
  __m256i e = _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(a.v), 52), _mm256_set1_epi64x(0x7FF));
  __m256d f = _mm256_castsi256_pd(_mm256_or_si256(e, _mm256_set1_epi64x(static_cast<long long>(two_pow_52_bits))));
  return {_mm256_sub_pd(f, _mm256_set1_pd(two_pow_52))};
}
using V = Avx2;

#elif defined(ZANDREL_ISA_AVX512)
// ---- AVX-512: eight doubles ------------------------------------------------
struct Avx512Mask { __mmask8 m; };
struct Avx512 {
  static constexpr int lanes = 8;
  using mask = Avx512Mask;
  __m512d v;
  static Avx512 load(const double* p) { return {_mm512_loadu_pd(p)}; }
  static Avx512 set1(double x) { return {_mm512_set1_pd(x)}; }
  void store(double* p) const { _mm512_storeu_pd(p, v); }
};
inline Avx512 operator+(Avx512 a, Avx512 b) { return {_mm512_add_pd(a.v, b.v)}; }
inline Avx512 operator-(Avx512 a, Avx512 b) { return {_mm512_sub_pd(a.v, b.v)}; }
inline Avx512 operator*(Avx512 a, Avx512 b) { return {_mm512_mul_pd(a.v, b.v)}; }
inline Avx512 operator/(Avx512 a, Avx512 b) { return {_mm512_div_pd(a.v, b.v)}; }
inline Avx512 operator-(Avx512 a) { return {_mm512_xor_pd(a.v, _mm512_set1_pd(-0.0))}; }
inline Avx512Mask operator<(Avx512 a, Avx512 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
inline Avx512Mask operator<=(Avx512 a, Avx512 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
inline Avx512Mask operator>(Avx512 a, Avx512 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
inline Avx512Mask operator>=(Avx512 a, Avx512 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
inline Avx512Mask operator==(Avx512 a, Avx512 b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)}; }
inline Avx512Mask operator&(Avx512Mask a, Avx512Mask b) { return {static_cast<__mmask8>(a.m & b.m)}; }
inline Avx512Mask operator|(Avx512Mask a, Avx512Mask b) { return {static_cast<__mmask8>(a.m | b.m)}; }
inline Avx512Mask operator!(Avx512Mask a) { return {static_cast<__mmask8>(~a.m)}; }
inline Avx512 fma(Avx512 a, Avx512 b, Avx512 c) { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
inline Avx512 sqrt(Avx512 a) { return {_mm512_sqrt_pd(a.v)}; }
inline Avx512 abs(Avx512 a) { return {_mm512_andnot_pd(_mm512_set1_pd(-0.0), a.v)}; }
inline Avx512 copysign(Avx512 a, Avx512 b) {
  const __m512d s = _mm512_set1_pd(-0.0);
  return {_mm512_or_pd(_mm512_andnot_pd(s, a.v), _mm512_and_pd(s, b.v))};
}
inline Avx512Mask isnan(Avx512 a) { return {_mm512_cmp_pd_mask(a.v, a.v, _CMP_UNORD_Q)}; }
inline bool any(Avx512Mask m) { return m.m != 0; }
inline Avx512 select(Avx512Mask m, Avx512 a, Avx512 b) { return {_mm512_mask_blend_pd(m.m, b.v, a.v)}; }
inline Avx512 bit_and(Avx512 a, std::uint64_t b) { return {_mm512_and_pd(a.v, _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(b))))}; }
inline Avx512 bit_or(Avx512 a, std::uint64_t b) { return {_mm512_or_pd(a.v, _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(b))))}; }
inline Avx512 exponent_field(Avx512 a) {
  __m512i e = _mm512_and_si512(_mm512_srli_epi64(_mm512_castpd_si512(a.v), 52), _mm512_set1_epi64(0x7FF));
  return {_mm512_cvtepi64_pd(e)};
}
using V = Avx512;

#else
// Portable build: four plain lanes (the compiler may map them onto SSE2).
using V = Lanes<4>;
#endif

// The mask of lanes 0 .. count-1.
template <class W>
inline typename W::mask first_lanes(std::size_t count) {
  alignas(64) double index[W::lanes];
  for (int i = 0; i < W::lanes; ++i) index[i] = i;
  return W::load(index) < W::set1(static_cast<double>(count));
}

// fn(a[i], b[i]) lane by lane through memory, for library functions that
// have no vector form.
template <class W, class Fn>
inline W lanewise(W a, W b, Fn fn) {
  alignas(64) double x[W::lanes], y[W::lanes];
  a.store(x);
  b.store(y);
  for (int i = 0; i < W::lanes; ++i) x[i] = fn(x[i], y[i]);
  return W::load(x);
}

// A NaN operand is ignored (IEEE maxNum): max(NaN, b) = b, max(a, NaN) = a.
template <class W>
ZANDREL_FORCE_INLINE W max_ignoring_nan(W a, W b) {
  W m = select(a < b, b, a);
  m = select(isnan(a), b, m);
  return select(isnan(b), a, m);
}

}  // namespace simd
ZANDREL_END
