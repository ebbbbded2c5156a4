#pragma once
// Field evaluations backed by the octree: build one source set and one tree
// (max_depth 21) per call, evaluate H at every target, release everything.
// A branch of the tree stands for its subtree by one point dipole (magnetic
// sources) or one point current element (current sources) of its aggregated
// moment at its moment-weighted centroid; theta is the opening parameter and
// leaf_threshold the most sources a leaf may hold. Results are added into
// `out` (callers pass zeroed columns) and do not depend on nthreads_requested.
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/mesh/mesh.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Point dipoles: moment volumes[i] * mvectors[i] at centroids[i].
void h_mag_point_octree(const Columns& centroids, std::span<const double> volumes, const Columns& mvectors,
                        const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
                        std::uint32_t nthreads_requested);

// Point current elements: src_vol[i] * src_jdensity[i] at src_pts[i].
void h_current_point_octree(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                            const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
                            std::uint32_t nthreads_requested);

// Centroids and volumes of the first `rows` elements, as the tetrahedral
// source sets hold them (`rows` must equal the number of elements).
struct ElementMeasures {
  std::vector<Vec3> centroids;
  std::vector<double> volumes;
};
ElementMeasures element_measures(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                 std::size_t rows);

// Uniformly magnetised tetrahedra (leaves by the edge-integral formulation).
void h_mag_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                       const ElementMeasures& measures, std::span<const Vec3> mvectors, const Columns& targets,
                       Columns& out, double theta, std::uint32_t leaf_threshold, std::uint32_t nthreads_requested);

// Tetrahedra of uniform current density (leaves by the edge-integral formulation).
void h_current_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                           const ElementMeasures& measures, std::span<const Vec3> jdensity, const Columns& targets,
                           Columns& out, double theta, std::uint32_t leaf_threshold,
                           std::uint32_t nthreads_requested);

ZANDREL_END
