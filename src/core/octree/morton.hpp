#pragma once
// Morton (Z-order) codes: a source's position in the bounding cube, quantised
// to 21 bits per axis and interleaved x, y, z from the least significant bit.
// The top bit triple (bits 60-62) names the first subdivision of the cube, the
// lowest triple the finest; bit 63 is always 0. The leading 3L bits of a code
// are the index of the level-L cell that holds the source.
#include <array>
#include <cstdint>

#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN
namespace morton {

// Depth of the finest cell, and the quantisation scale 2^max_depth - 1.
inline constexpr std::uint8_t max_depth = 21;
inline constexpr double scale = 2097151.0;

// Position relative to the cube's lower corner in units of its edge, as a
// product with the reciprocal edge (not a quotient: the last bit may differ).
Vec3 normalize(const Vec3& point, double side_length, const Vec3& min_corner);

// floor(n * scale) per axis, converted with saturation: below 0 and NaN give
// 0, above 4294967295 gives 4294967295.
std::array<std::uint32_t, 3> quantize(const Vec3& normalized_pt, double scale);

// Bits 0-20 of each quantised coordinate interleaved: bit k of x at 3k, of y
// at 3k+1, of z at 3k+2. Higher bits are dropped.
std::uint64_t interleave(const std::array<std::uint32_t, 3>& quantized_pt);

// The code of one point. Never fails: positions outside the cube or NaN are
// clamped by the saturating quantisation.
std::uint64_t encode(const Vec3& point, double scale, double side_length, const Vec3& min_corner);

}  // namespace morton
ZANDREL_END
