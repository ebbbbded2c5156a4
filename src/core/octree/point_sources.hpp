#pragma once
// Point sources of the octree: positions, the radius of the sphere of each
// source's volume, and the moments volume * vector, all as separate columns so
// that a leaf reads contiguous memory. The moments and radii are formed once
// when the set is made. As dipoles (magnetisation vectors) they are point
// dipoles, as currents (current densities) point current elements.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/errors.hpp"
#include "core/kernels/point_current.hpp"
#include "core/kernels/point_dipole.hpp"
#include "core/kernels/source_views.hpp"
#include "core/octree/bbox.hpp"
#include "core/octree/sort_by_indices.hpp"
#include "core/octree/sources.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

struct PointSources {
  using DipoleKind = PointDipole;
  using CurrentKind = PointCurrentElement<SeparateArithmetic>;

  Columns positions;
  std::vector<double> radius;  // (V * 3/(4 pi))^(1/3)
  Columns moments;             // V * vector: the moment (or current element) of the source
  BoundingBox bounding_box;    // box of the positions

  // Positions (x, y, z), one volume and one vector (vx, vy, vz) per source;
  // the count is the length of x. A shorter volume or vector column aborts
  // at its first missing entry; no positions abort the call.
  PointSources(std::span<const double> x, std::span<const double> y, std::span<const double> z,
               std::span<const double> volumes, std::span<const double> vx, std::span<const double> vy,
               std::span<const double> vz);

  std::size_t len() const { return positions.x.size(); }
  Vec3 centroid(std::size_t i) const { return {at(positions.x, i), at(positions.y, i), at(positions.z, i)}; }
  Vec3 moment(std::size_t i) const { return {at(moments.x, i), at(moments.y, i), at(moments.z, i)}; }
  void sort(std::span<const std::size_t> indices);
  const BoundingBox& bbox() const { return bounding_box; }
  EncodedSources encode(std::uint8_t max_depth) const { return encode_centroids(*this, max_depth); }

  // The kernels' view of the columns, for sources start .. end-1 (checked
  // once: the first entry beyond the shortest column aborts), or for all.
  PointColumns leaf_view(std::size_t start, std::size_t end) const;
  PointColumns kernel_view() const { return leaf_view(0, len()); }
};

ZANDREL_END
