#include "core/solver/magnetization.hpp"

#include <cmath>

#include "core/direct/direct.hpp"
#include "core/errors.hpp"
#include "core/octree/evaluate.hpp"
#include "core/octree/morton.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/sources.hpp"
#include "core/octree/tet_sources.hpp"
#include "core/solver/progress.hpp"

ZANDREL_BEGIN
namespace {

void add_demagnetizing_field(const Tet4Direct& solver, std::span<const Vec3> nodes,
                             std::span<const Element> connectivity, std::span<const Vec3> m,
                             const Columns& centroids, Columns& h, bool edge) {
  h_mag_tet4_direct_parallel(nodes, connectivity, m, centroids, h, solver.nthreads_requested, edge);
}

// The tree is rebuilt from scratch: its branch moments (and, through the
// moment weighting, its branch centroids) follow the magnetisation.
void add_demagnetizing_field(const Tet4Octree& solver, std::span<const Vec3> nodes,
                             std::span<const Element> connectivity, std::span<const Vec3> m,
                             const Columns& centroids, Columns& h, bool /*edge: leaves use the edge kernel*/) {
  std::vector<double> vols(connectivity.size(), 0.0);
  volumes(nodes, connectivity, vols);
  std::vector<Vec3> points(centroids.size());
  for (std::size_t i = 0; i < points.size(); ++i) points[i] = {centroids.x[i], centroids.y[i], centroids.z[i]};
  DipoleSources<TetSources> sources{TetSources(nodes, connectivity, points, vols, m)};
  const auto tree = build_from_sources(std::move(sources), morton::max_depth, solver.leaf_threshold);
  h_field_parallel(tree, centroids, h, solver.theta, solver.nthreads_requested);
}

void fill_zero(Columns& c) {
  for (auto* col : {&c.x, &c.y, &c.z})
    for (double& v : *col) v = 0.0;
}

}  // namespace

MagnetizationResult magnetization(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                  const Columns& centroids, double chi, const Columns& hext, const Solver& solver,
                                  double tol, std::uint32_t max_iterations, double alpha, bool edge) {
  const std::size_t count = connectivity.size();
  // The centroids are the evaluation points: one per element, or the field
  // evaluation would write past the accumulators.
  assert_eq(centroids.x.size(), count);
  assert_eq(centroids.y.size(), count);
  assert_eq(centroids.z.size(), count);

  MagnetizationResult result{Columns(count), std::vector<Vec3>(count)};
  Columns& h = result.h;
  std::vector<Vec3>& m = result.m;

  // Start from the magnetisation of the applied field alone. A too short hext
  // aborts here, before any field evaluation or progress line.
  for (std::size_t i = 0; i < count; ++i) {
    check_index(i, hext.x.size());
    check_index(i, hext.y.size());
    check_index(i, hext.z.size());
    m[i] = Vec3{hext.x[i], hext.y[i], hext.z[i]} * chi;
  }

  const double keep = 1.0 - alpha;
  for (std::uint32_t k = 0; k < max_iterations; ++k) {
    fill_zero(h);
    std::visit([&](const auto& s) { add_demagnetizing_field(s, nodes, connectivity, m, centroids, h, edge); },
               solver);

    // The change is measured against the unrelaxed target of the material
    // law; a NaN difference fails every comparison and so never counts.
    double max_change = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
      const Vec3 target{(h.x[i] + hext.x[i]) * chi, (h.y[i] + hext.y[i]) * chi, (h.z[i] + hext.z[i]) * chi};
      const double dx = std::fabs(m[i].x - target.x);
      const double dy = std::fabs(m[i].y - target.y);
      const double dz = std::fabs(m[i].z - target.z);
      if (dx > max_change) max_change = dx;
      if (dy > max_change) max_change = dy;
      if (dz > max_change) max_change = dz;
      m[i].x = target.x * alpha + m[i].x * keep;
      m[i].y = target.y * alpha + m[i].y * keep;
      m[i].z = target.z * alpha + m[i].z * keep;
    }

    write_stdout(progress_line(k, max_change));
    if (tol >= max_change) break;  // false for a NaN tol
  }

  // H = demagnetising field of the last evaluation + applied field.
  for (std::size_t i = 0; i < count; ++i) {
    h.x[i] += hext.x[i];
    h.y[i] += hext.y[i];
    h.z[i] += hext.z[i];
  }
  return result;
}

ZANDREL_END
