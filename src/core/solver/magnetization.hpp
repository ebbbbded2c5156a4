#pragma once
// Self-consistent magnetisation of a linear material (M = chi H) meshed with
// four-node tetrahedra, each carrying one uniform magnetisation, by a relaxed
// fixed-point iteration on the field at the element centroids.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <variant>
#include <vector>

#include "core/columns.hpp"
#include "core/mesh/mesh.hpp"
#include "core/simd/isa.hpp"
#include "core/solver/progress.hpp"
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

// The magnetisation became infinite or NaN although chi, alpha, hext and
// every node are finite: the iteration diverged (or, in the first iteration,
// a degenerate element has an undefined field). The message says which, with
// the iteration, the element and a relaxation factor that converges.
class NonFiniteMagnetization : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct MagnetizationResult {
  Columns h;              // total field H = demagnetising + applied, at the centroids
  std::vector<Vec3> m;    // magnetisation after the last relaxed update
};

// Iterates m <- alpha * chi * (h(m) + hext) + (1 - alpha) * m, starting from
// m = chi * hext, until no component of chi * (h + hext) differs from m by
// more than tol (a NaN difference never counts, a NaN tol never stops) or
// max_iterations iterations have run. Writes one progress line per iteration
// to `progress`. centroids must hold one row per element; hext needs at least
// as many rows (extra rows are ignored, fewer abort the call before the first
// iteration). edge selects the kernel formulation of Tet4Direct.
//
// When chi, alpha, the first M rows of hext and every node are finite, a
// magnetisation component that becomes infinite or NaN throws
// NonFiniteMagnetization in that iteration, before its progress line; NaN or
// infinity in those inputs is carried through as before. A checkpoint()
// precedes every iteration.
MagnetizationResult magnetization(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                  const Columns& centroids, double chi, const Columns& hext, const Solver& solver,
                                  double tol, std::uint32_t max_iterations, double alpha, bool edge,
                                  const ProgressSink& progress = {});

ZANDREL_END
