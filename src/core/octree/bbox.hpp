#pragma once
// The cube every octree is built over. Its bounds are the extremes of the
// source positions with the origin always included; the cube has its lower
// corner at the lower bounds and its edge is the largest of the three extents.
// No padding: a source on the upper bound of the longest axis lies on a face.
#include <optional>
#include <span>
#include <utility>

#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

using Bounds = std::pair<double, double>;  // (lower, upper)

// (min, max) of arr with both accumulators starting at 0, so the result always
// brackets 0; NaN entries are skipped. Empty input gives nothing.
std::optional<Bounds> min_and_max(std::span<const double> arr);

// The largest of the three extents (upper - lower).
double side_length_from_bounds(const Bounds& xbounds, const Bounds& ybounds, const Bounds& zbounds);

// The message of a construction from no sources at all.
[[noreturn]] void panic_no_sources();

struct BoundingBox {
  double xc = 0.0;  // lower x bound + side_length / 2: the cube's centre, stored only
  double yc = 0.0;
  double zc = 0.0;
  double side_length = 0.0;
  Bounds xbounds{0.0, 0.0};  // as computed, not widened to the cube
  Bounds ybounds{0.0, 0.0};
  Bounds zbounds{0.0, 0.0};

  // Box of three coordinate columns; nothing when any column is empty.
  static std::optional<BoundingBox> from_centroids(std::span<const double> x, std::span<const double> y,
                                                   std::span<const double> z);
  // Box of a sequence of points; aborts the call when it is empty.
  static BoundingBox from_centroids_vec(std::span<const Vec3> centroids);

  Vec3 min_corner() const { return {xbounds.first, ybounds.first, zbounds.first}; }
};

ZANDREL_END
