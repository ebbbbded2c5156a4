#pragma once
// The stored (quantised) near blocks of one target, decoded and multiplied
// out in single precision. They serve the loose accuracy levels only: a
// shell block holds 7 significant bits and an inner block 16, so the 24 of a
// float lose nothing they carry, and every decoded value (a small integer
// times a power of two) is exact in a float. Single precision halves the
// bytes moved per pair and doubles the pairs per vector.
//
// Each pair's block (xx yy zz xy xz yz) and M_j sit in one lane of groups of
// sixteen; the products go into sixteen partial sums (pair k of a target
// into partial k mod 16), folded in double at the end in one fixed order,
// so every sum runs in an order fixed by the pairs alone, whatever the
// instruction set. The last group is completed with zero blocks and moments.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/operator/operator_api.hpp"
#include "core/operator/pair_rows.hpp"
#include "core/simd/float_lanes.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN

class QuantisedPairs {
 public:
  static constexpr std::size_t width = 16;

  void clear() { rows_.clear(); }
  std::size_t size() const { return rows_.size(); }
  // Room for `more` pairs after the current ones; returns the first new one.
  std::size_t grow(std::size_t more) { return rows_.grow(more); }

  // M (single precision, columns of `stride`) of the elements first + b of
  // one source leaf, b the set bits of `bits` ascending, into pairs i, i + 1, ...
  void put_leaf_mags(std::size_t i, const float* mags, std::size_t stride, std::uint32_t first, std::uint32_t bits) {
#if defined(ZANDREL_ISA_AVX512)
    const auto k = static_cast<__mmask16>(bits);
    for (std::size_t c = 0; c < 3; ++c)
      _mm512_storeu_ps(row(6 + c) + i, _mm512_maskz_compress_ps(k, _mm512_maskz_loadu_ps(k, mags + c * stride + first)));
#else
    for (std::uint32_t b = bits; b != 0; b &= b - 1, ++i) {
      const std::size_t j = first + static_cast<std::uint32_t>(__builtin_ctz(b));
      for (std::size_t c = 0; c < 3; ++c) row(6 + c)[i] = mags[c * stride + j];
    }
#endif
  }

  // Inner blocks i..i+count-1 from their records (six 16-bit integers times 2^e, e in the seventh).
  void put_inners(std::size_t i, std::size_t count, const std::int16_t* q) {
    for (std::size_t g = 0; g < count; ++g, q += inner_words) {
      const double scale = simd::bits_to_double(static_cast<std::uint64_t>(q[6] + 1023) << 52);
      for (std::size_t c = 0; c < 6; ++c) row(c)[i + g] = static_cast<float>(q[c] * scale);
    }
  }

  // Shell blocks i..i+count-1 from their five-byte records: xx yy xy xz yz
  // as 7-bit two's complement integers times 2^e, -1 - e in the top five
  // bits, zz = -xx - yy (the stream is padded: 64 bytes may be read from
  // its last record).
  void put_shells(std::size_t i, std::size_t count, const std::uint8_t* q) {
#if defined(ZANDREL_ISA_AVX512)
    // Record i starts at byte 5 i: dwords d and d + 1 (d = 5 i / 4) into
    // qword i, shifted right by the remaining bytes (gathers are slow).
    const __m512i dwords = _mm512_setr_epi32(0, 1, 1, 2, 2, 3, 3, 4, 5, 6, 6, 7, 7, 8, 8, 9);
    const __m512i shifts = _mm512_setr_epi64(0, 8, 16, 24, 0, 8, 16, 24);
    for (std::size_t g = 0; g < count; g += 8) {
      const __m512i raw = _mm512_loadu_si512(q + 5 * g);
      const __m512i word = _mm512_and_si512(_mm512_srlv_epi64(_mm512_permutexvar_epi32(dwords, raw), shifts),
                                            _mm512_set1_epi64(0xFFFFFFFFFFLL));
      // 2^e as a float: exponent field 127 + e = 126 - (-1 - e).
      const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(
          _mm512_cvtepi64_epi32(_mm512_sub_epi64(_mm512_set1_epi64(126), _mm512_srli_epi64(word, 35))), 23));
      __m256 v[5];
      for (int k = 0; k < 5; ++k) {
        const __m512i bits = _mm512_and_si512(_mm512_srli_epi64(word, 7 * k), _mm512_set1_epi64(0x7F));
        const __m512i value = _mm512_sub_epi64(_mm512_xor_si512(bits, _mm512_set1_epi64(64)), _mm512_set1_epi64(64));
        v[k] = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm512_cvtepi64_epi32(value)), scale);
      }
      store_shell(i + g, v);
    }
#elif defined(ZANDREL_ISA_AVX2)
    // Eight records per pass: two 32-byte loads of four records each, every
    // record unpacked in a 64-bit lane as above, the fields then narrowed
    // to eight 32-bit lanes (AVX2 has no int64 to float conversion).
    const __m256i dwords = _mm256_setr_epi32(0, 1, 1, 2, 2, 3, 3, 4);
    const __m256i shifts = _mm256_setr_epi64x(0, 8, 16, 24);
    const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const auto narrow = [&](__m256i a, __m256i b) {  // the low dwords of a's and b's qwords, in order
      const __m256i pa = _mm256_permutevar8x32_epi32(a, low_dwords), pb = _mm256_permutevar8x32_epi32(b, low_dwords);
      return _mm256_permute2x128_si256(pa, pb, 0x20);
    };
    for (std::size_t g = 0; g < count; g += 8) {
      __m256i words[2];
      for (int h = 0; h < 2; ++h) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 5 * (g + 4 * h)));
        words[h] = _mm256_and_si256(_mm256_srlv_epi64(_mm256_permutevar8x32_epi32(raw, dwords), shifts),
                                    _mm256_set1_epi64x(0xFFFFFFFFFFLL));
      }
      const __m256i e = narrow(_mm256_srli_epi64(words[0], 35), _mm256_srli_epi64(words[1], 35));
      const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_sub_epi32(_mm256_set1_epi32(126), e), 23));
      __m256 v[5];
      for (int k = 0; k < 5; ++k) {
        const __m256i bits = _mm256_and_si256(
            narrow(_mm256_srli_epi64(words[0], 7 * k), _mm256_srli_epi64(words[1], 7 * k)), _mm256_set1_epi32(0x7F));
        const __m256i value = _mm256_sub_epi32(_mm256_xor_si256(bits, _mm256_set1_epi32(64)), _mm256_set1_epi32(64));
        v[k] = _mm256_mul_ps(_mm256_cvtepi32_ps(value), scale);
      }
      store_shell(i + g, v);
    }
#else
    for (std::size_t g = 0; g < count; ++g) {
      std::uint64_t word = 0;
      for (int k = 0; k < 5; ++k) word |= std::uint64_t{q[5 * g + k]} << (8 * k);
      const double scale = simd::bits_to_double(static_cast<std::uint64_t>(1022 - static_cast<int>(word >> 35)) << 52);
      float v[5];
      for (int k = 0; k < 5; ++k) {
        // The 7-bit two's complement field, sign-extended.
        const auto bits = static_cast<std::int32_t>((word >> (7 * k)) & 0x7F);
        v[k] = static_cast<float>(static_cast<double>((bits ^ 64) - 64) * scale);
      }
      const std::size_t at = i + g;
      row(0)[at] = v[0];
      row(1)[at] = v[1];
      row(2)[at] = -(v[0] + v[1]);
      row(3)[at] = v[2];
      row(4)[at] = v[3];
      row(5)[at] = v[4];
    }
#endif
    // Lanes past `count` hold the next pairs' places: they are written again
    // or cleared by finish.
  }

  // Adds the products into h.
  void finish(double h[3]) {
    using simd::F16;
    const std::size_t padded = rows_.pad();
    F16 ax = F16::set1(0.0), ay = ax, az = ax;
    for (std::size_t at = 0; at < padded; at += width) {
      const F16 xx = F16::load(row(0) + at), yy = F16::load(row(1) + at), zz = F16::load(row(2) + at),
                xy = F16::load(row(3) + at), xz = F16::load(row(4) + at), yz = F16::load(row(5) + at);
      const F16 mx = F16::load(row(6) + at), my = F16::load(row(7) + at), mz = F16::load(row(8) + at);
      ax = simd::fma(xz, mz, simd::fma(xy, my, simd::fma(xx, mx, ax)));
      ay = simd::fma(yz, mz, simd::fma(yy, my, simd::fma(xy, mx, ay)));
      az = simd::fma(zz, mz, simd::fma(yz, my, simd::fma(xz, mx, az)));
    }
    h[0] += fold(ax);
    h[1] += fold(ay);
    h[2] += fold(az);
  }

 private:
  float* row(std::size_t c) { return rows_.row(c); }

#if defined(ZANDREL_ISA_AVX2) || defined(ZANDREL_ISA_AVX512)
  // Eight decoded shell blocks (xx yy xy xz yz) from pair `at` on.
  void store_shell(std::size_t at, const __m256* v) {
    _mm256_storeu_ps(row(0) + at, v[0]);
    _mm256_storeu_ps(row(1) + at, v[1]);
    _mm256_storeu_ps(row(2) + at, _mm256_xor_ps(_mm256_add_ps(v[0], v[1]), _mm256_set1_ps(-0.0f)));
    _mm256_storeu_ps(row(3) + at, v[2]);
    _mm256_storeu_ps(row(4) + at, v[3]);
    _mm256_storeu_ps(row(5) + at, v[4]);
  }
#endif

  // The sixteen partial sums in double, pairwise in one fixed order.
  static double fold(simd::F16 v) {
    alignas(64) float a[width];
    v.store(a);
    double b[8];
    for (std::size_t l = 0; l < 8; ++l) b[l] = static_cast<double>(a[l]) + static_cast<double>(a[l + 8]);
    return ((b[0] + b[4]) + (b[2] + b[6])) + ((b[1] + b[5]) + (b[3] + b[7]));
  }

  // Whole groups, and one more: the writers above store whole vectors.
  PairRows<float, width, width> rows_;
};

ZANDREL_END
