#pragma once
// Self-consistent magnetisation of a linear material (M = chi H) meshed with
// four-node tetrahedra, each carrying one uniform magnetisation, by a relaxed
// fixed-point iteration on the field at the element centroids.
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "core/columns.hpp"
#include "core/mesh/mesh.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Demagnetising field by direct summation of the exact tetrahedron kernel:
// every element acts on every centroid, its own included.
struct Tet4Direct {
  std::uint32_t nthreads_requested = 0;
};

// Demagnetising field by the Barnes-Hut octree over the elements as dipole
// sources (exact edge-formulation kernels in the leaves), rebuilt every
// iteration because the source vectors change.
struct Tet4Octree {
  std::uint32_t nthreads_requested = 0;
  double theta = 0.0;
  std::uint32_t leaf_threshold = 0;
};

using Solver = std::variant<Tet4Direct, Tet4Octree>;

struct MagnetizationResult {
  Columns h;              // total field H = demagnetising + applied, at the centroids
  std::vector<Vec3> m;    // magnetisation after the last relaxed update
};

// Iterates m <- alpha * chi * (h(m) + hext) + (1 - alpha) * m, starting from
// m = chi * hext, until no component of chi * (h + hext) differs from m by
// more than tol (a NaN difference never counts, a NaN tol never stops) or
// max_iterations iterations have run. Writes one progress line per iteration
// to file descriptor 1. centroids must hold one row per element; hext needs
// at least as many rows (extra rows are ignored, fewer abort the call before
// the first iteration). edge selects the kernel formulation of Tet4Direct.
MagnetizationResult magnetization(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                  const Columns& centroids, double chi, const Columns& hext, const Solver& solver,
                                  double tol, std::uint32_t max_iterations, double alpha, bool edge);

ZANDREL_END
