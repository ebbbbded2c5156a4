#include "core/octree/morton.hpp"

#include <cmath>

ZANDREL_BEGIN
namespace morton {
namespace {

// Saturating double -> u32 conversion of an integral value.
std::uint32_t saturate_u32(double f) {
  if (!(f > 0.0)) return 0;  // negative, zero and NaN
  if (f >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(f);
}

// Spreads bits 0-20 of v so that bit k lands on bit 3k.
std::uint64_t spread_bits(std::uint32_t v) {
  std::uint64_t x = v & 0x1FFFFFu;
  x = (x | (x << 32)) & 0x001F00000000FFFFull;
  x = (x | (x << 16)) & 0x001F0000FF0000FFull;
  x = (x | (x << 8)) & 0x100F00F00F00F00Full;
  x = (x | (x << 4)) & 0x10C30C30C30C30C3ull;
  x = (x | (x << 2)) & 0x1249249249249249ull;
  return x;
}

}  // namespace

Vec3 normalize(const Vec3& point, double side_length, const Vec3& min_corner) {
  const double inv_side_length = 1.0 / side_length;
  return {(point.x - min_corner.x) * inv_side_length, (point.y - min_corner.y) * inv_side_length,
          (point.z - min_corner.z) * inv_side_length};
}

std::array<std::uint32_t, 3> quantize(const Vec3& normalized_pt, double scale) {
  return {saturate_u32(std::floor(normalized_pt.x * scale)), saturate_u32(std::floor(normalized_pt.y * scale)),
          saturate_u32(std::floor(normalized_pt.z * scale))};
}

std::uint64_t interleave(const std::array<std::uint32_t, 3>& q) {
  return spread_bits(q[0]) | (spread_bits(q[1]) << 1) | (spread_bits(q[2]) << 2);
}

std::uint64_t encode(const Vec3& point, double scale, double side_length, const Vec3& min_corner) {
  return interleave(quantize(normalize(point, side_length, min_corner), scale));
}

}  // namespace morton
ZANDREL_END
