// The magnetisation solver's function: the element centroids as evaluation
// points, the choice of field evaluation, the iteration.
#include "core/errors.hpp"
#include "core/functions/functions.hpp"
#include "core/solver/magnetization.hpp"

ZANDREL_BEGIN
namespace functions {

Magnetization magnetization_tet4(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                 std::size_t rows, double chi, const Columns& hext, double tol,
                                 std::uint32_t max_iterations, double theta, std::uint32_t leaf_threshold,
                                 double alpha, std::uint32_t nthreads_requested, bool edge,
                                 const ProgressSink& progress) {
  // The element centroids, the points where the field is evaluated. The
  // number of element groups must match the row count (a (2, 2) array holds
  // one).
  assert_eq(connectivity.size(), rows);
  std::vector<Vec3> centroid_records(rows);
  centroids(nodes, connectivity, centroid_records);
  Columns c(rows);
  for (std::size_t i = 0; i < rows; ++i)
    c.x[i] = centroid_records[i].x, c.y[i] = centroid_records[i].y, c.z[i] = centroid_records[i].z;

  const Solver solver = leaf_threshold == 0 ? Solver{Tet4Direct{nthreads_requested}}
                                            : Solver{Tet4Octree{nthreads_requested, theta, leaf_threshold}};
  MagnetizationResult result =
      magnetization(nodes, connectivity, c, chi, hext, solver, tol, max_iterations, alpha, edge, progress);

  Columns m(rows);
  for (std::size_t i = 0; i < rows; ++i) m.x[i] = result.m[i].x, m.y[i] = result.m[i].y, m.z[i] = result.m[i].z;
  return {std::move(m), std::move(result.h)};
}

}  // namespace functions
ZANDREL_END
