// The non-generic steps of octree construction.
#include <cmath>
#include <cstdio>

#include "core/octree/octree.hpp"

ZANDREL_BEGIN

std::uint64_t get_prefix(std::uint64_t code, std::uint8_t max_level, std::uint8_t level) {
  if (level >= max_level) return code;
  return code >> (3 * (max_level - level));
}

std::size_t get_range_in_same_node(std::span<const std::uint64_t> codes, std::uint8_t level, std::uint8_t max_depth,
                                   std::size_t start_index) {
  const std::uint64_t current_prefix = get_prefix(at(codes, start_index), max_depth, level);
  std::size_t i = start_index;
  while (i < codes.size() && get_prefix(codes[i], max_depth, level) == current_prefix) ++i;
  return i;
}

double size_at_level(double side_length, std::uint8_t level) {
  double power = 1.0;
  for (std::uint8_t k = 0; k < level; ++k) power *= 2.0;
  return side_length / power;
}

void update_centroid(Vec3& parent_centroid, double parent_mag, const Vec3& child_centroid, double child_mag) {
  const double total_mag = parent_mag + child_mag;
  parent_centroid.x = (parent_centroid.x * parent_mag + child_centroid.x * child_mag) / total_mag;
  parent_centroid.y = (parent_centroid.y * parent_mag + child_centroid.y * child_mag) / total_mag;
  parent_centroid.z = (parent_centroid.z * parent_mag + child_centroid.z * child_mag) / total_mag;
}

void panic_too_deep(std::uint8_t level, std::size_t start, std::size_t end) {
  std::fprintf(stderr, "DEEP: level=%u, start=%zu, end=%zu, n=%zu\n", static_cast<unsigned>(level), start, end,
               end - start);
  std::fflush(stderr);
  panic("explicit panic");
}

ZANDREL_END
