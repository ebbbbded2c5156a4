#pragma once
// Sixteen single-precision lanes, whatever the instruction set: one AVX-512
// register, two AVX2 registers or a plain array. Kernels that can afford
// single precision (the point dipoles of a loose field operator) trade seven
// significant digits for twice the lanes of every vector operation. Only
// correctly rounded IEEE operations are offered (fused multiply-add rounds
// once on every build; no approximate reciprocals), and the lane count is
// fixed, so every build gives the same bits.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/simd/isa.hpp"

#if defined(ZANDREL_ISA_AVX2) || defined(ZANDREL_ISA_AVX512)
#include <immintrin.h>
#endif

ZANDREL_BEGIN
namespace simd {

#if defined(ZANDREL_ISA_AVX512)
struct F16 {
  __m512 v;
  static F16 load(const float* p) { return {_mm512_loadu_ps(p)}; }
  static F16 set1(double x) { return {_mm512_set1_ps(static_cast<float>(x))}; }
  void store(float* p) const { _mm512_storeu_ps(p, v); }
  // The first n (<= 16) lanes only: nothing beyond them is read or written.
  static F16 load_first(const float* p, std::size_t n) {
    return {_mm512_maskz_loadu_ps(static_cast<__mmask16>((1U << n) - 1), p)};
  }
};
inline F16 operator+(F16 a, F16 b) { return {_mm512_add_ps(a.v, b.v)}; }
inline F16 operator-(F16 a, F16 b) { return {_mm512_sub_ps(a.v, b.v)}; }
inline F16 operator*(F16 a, F16 b) { return {_mm512_mul_ps(a.v, b.v)}; }
inline F16 operator/(F16 a, F16 b) { return {_mm512_div_ps(a.v, b.v)}; }
inline F16 sqrt(F16 a) { return {_mm512_sqrt_ps(a.v)}; }
// a * b + c and a * b - c, rounded once.
inline F16 fma(F16 a, F16 b, F16 c) { return {_mm512_fmadd_ps(a.v, b.v, c.v)}; }
inline F16 fms(F16 a, F16 b, F16 c) { return {_mm512_fmsub_ps(a.v, b.v, c.v)}; }
// Lanes whose bit is set in `drop` become zero (whatever they held, NaN included).
inline F16 zero_lanes(F16 a, std::uint32_t drop) {
  return {_mm512_maskz_mov_ps(static_cast<__mmask16>(~drop & 0xFFFF), a.v)};
}

#elif defined(ZANDREL_ISA_AVX2)
struct F16 {
  __m256 lo, hi;
  static F16 load(const float* p) { return {_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8)}; }
  static F16 set1(double x) {
    const float f = static_cast<float>(x);
    return {_mm256_set1_ps(f), _mm256_set1_ps(f)};
  }
  void store(float* p) const {
    _mm256_storeu_ps(p, lo);
    _mm256_storeu_ps(p + 8, hi);
  }
  static __m256i first_mask(std::size_t n, int from) {
    const __m256i index = _mm256_setr_epi32(from, from + 1, from + 2, from + 3, from + 4, from + 5, from + 6, from + 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), index);
  }
  static F16 load_first(const float* p, std::size_t n) {
    return {_mm256_maskload_ps(p, first_mask(n, 0)), _mm256_maskload_ps(p + 8, first_mask(n, 8))};
  }
};
inline F16 operator+(F16 a, F16 b) { return {_mm256_add_ps(a.lo, b.lo), _mm256_add_ps(a.hi, b.hi)}; }
inline F16 operator-(F16 a, F16 b) { return {_mm256_sub_ps(a.lo, b.lo), _mm256_sub_ps(a.hi, b.hi)}; }
inline F16 operator*(F16 a, F16 b) { return {_mm256_mul_ps(a.lo, b.lo), _mm256_mul_ps(a.hi, b.hi)}; }
inline F16 operator/(F16 a, F16 b) { return {_mm256_div_ps(a.lo, b.lo), _mm256_div_ps(a.hi, b.hi)}; }
inline F16 sqrt(F16 a) { return {_mm256_sqrt_ps(a.lo), _mm256_sqrt_ps(a.hi)}; }
inline F16 fma(F16 a, F16 b, F16 c) { return {_mm256_fmadd_ps(a.lo, b.lo, c.lo), _mm256_fmadd_ps(a.hi, b.hi, c.hi)}; }
inline F16 fms(F16 a, F16 b, F16 c) { return {_mm256_fmsub_ps(a.lo, b.lo, c.lo), _mm256_fmsub_ps(a.hi, b.hi, c.hi)}; }
inline F16 zero_lanes(F16 a, std::uint32_t drop) {
  // Lane i keeps its value where bit i of `drop` is clear.
  const __m256i bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const auto keep = [&](std::uint32_t bits) {
    const __m256i b = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(bits & 0xFF)), bit);
    return _mm256_castsi256_ps(_mm256_cmpeq_epi32(b, _mm256_setzero_si256()));
  };
  return {_mm256_and_ps(a.lo, keep(drop)), _mm256_and_ps(a.hi, keep(drop >> 8))};
}

#else
struct F16 {
  float v[16];
  static F16 load(const float* p) { F16 r; for (int i = 0; i < 16; ++i) r.v[i] = p[i]; return r; }
  static F16 set1(double x) { F16 r; for (int i = 0; i < 16; ++i) r.v[i] = static_cast<float>(x); return r; }
  void store(float* p) const { for (int i = 0; i < 16; ++i) p[i] = v[i]; }
  static F16 load_first(const float* p, std::size_t n) {
    F16 r;
    for (std::size_t i = 0; i < 16; ++i) r.v[i] = i < n ? p[i] : 0.0f;
    return r;
  }
};
#define ZANDREL_F16_BINARY(op)                                            \
  inline F16 operator op(F16 a, F16 b) {                                  \
    F16 r; for (int i = 0; i < 16; ++i) r.v[i] = a.v[i] op b.v[i]; return r; }
ZANDREL_F16_BINARY(+)
ZANDREL_F16_BINARY(-)
ZANDREL_F16_BINARY(*)
ZANDREL_F16_BINARY(/)
#undef ZANDREL_F16_BINARY
inline F16 sqrt(F16 a) { F16 r; for (int i = 0; i < 16; ++i) r.v[i] = std::sqrt(a.v[i]); return r; }
inline F16 fma(F16 a, F16 b, F16 c) { F16 r; for (int i = 0; i < 16; ++i) r.v[i] = std::fma(a.v[i], b.v[i], c.v[i]); return r; }
inline F16 fms(F16 a, F16 b, F16 c) { F16 r; for (int i = 0; i < 16; ++i) r.v[i] = std::fma(a.v[i], b.v[i], -c.v[i]); return r; }
inline F16 zero_lanes(F16 a, std::uint32_t drop) {
  F16 r;
  for (int i = 0; i < 16; ++i) r.v[i] = (drop >> i) & 1U ? 0.0f : a.v[i];
  return r;
}
#endif

}  // namespace simd
ZANDREL_END
