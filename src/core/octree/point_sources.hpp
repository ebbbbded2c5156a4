#pragma once
// Point sources of the octree: positions, the radius of the sphere of each
// source's volume, and the moments volume * vector, all as separate columns so
// that a leaf reads contiguous memory. The moments and radii are formed once
// when the set is made.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/simd/isa.hpp"
#include "core/octree/bbox.hpp"
#include "core/octree/sort_by_indices.hpp"
#include "core/octree/sources.hpp"
#include "core/kernels/point.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

struct PointSources {
  std::vector<double> xg, yg, zg;     // positions
  std::vector<double> r;              // (V * 3/(4 pi))^(1/3)
  std::vector<double> vjx, vjy, vjz;  // V * vector: the moment of the source
  BoundingBox bounding_box;           // box of the positions

  // Positions (x, y, z), one volume and one vector (vx, vy, vz) per source;
  // the count is the length of x. A shorter volume or vector column aborts
  // at its first missing entry; no positions abort the call.
  PointSources(std::span<const double> x, std::span<const double> y, std::span<const double> z,
               std::span<const double> volumes, std::span<const double> vx, std::span<const double> vy,
               std::span<const double> vz);

  std::size_t len() const { return xg.size(); }
  Vec3 centroid(std::size_t i) const { return {at(xg, i), at(yg, i), at(zg, i)}; }
  Vec3 moment(std::size_t i) const { return {at(vjx, i), at(vjy, i), at(vjz, i)}; }
  void sort(std::span<const std::size_t> indices);
  const BoundingBox& bbox() const { return bounding_box; }
  EncodedSources encode(std::uint8_t max_depth) const { return encode_centroids(*this, max_depth); }

  // Exact fields of sources start .. end-1 at one target, summed from zero in
  // source order: point dipoles, or point current elements, each with its own
  // equivalent radius.
  Vec3 dipole_leaf(std::size_t start, std::size_t end, const Vec3& target) const {
    check_range(start, end);
    Vec3 h;
    for (std::size_t i = start; i < end; ++i)
      h = h + h_point_dipole({xg[i], yg[i], zg[i]}, {vjx[i], vjy[i], vjz[i]}, r[i], target);
    return h;
  }
  Vec3 current_leaf(std::size_t start, std::size_t end, const Vec3& target) const {
    check_range(start, end);
    Vec3 h;
    for (std::size_t i = start; i < end; ++i)
      h = h + h_point({xg[i], yg[i], zg[i]}, {vjx[i], vjy[i], vjz[i]}, r[i], target);
    return h;
  }

 private:
  // Every column holds the same number of entries once the set has been
  // sorted; a range is checked once per leaf, at its first entry beyond that.
  void check_range(std::size_t start, std::size_t end) const {
    if (end <= start) return;
    std::size_t len = xg.size();
    for (const auto* col : {&yg, &zg, &r, &vjx, &vjy, &vjz})
      if (col->size() < len) len = col->size();
    if (end > len) panic_index(len, start > len ? start : len);
  }
};

ZANDREL_END
