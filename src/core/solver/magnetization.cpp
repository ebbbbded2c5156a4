#include "core/solver/magnetization.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "core/direct/direct.hpp"
#include "core/errors.hpp"
#include "core/interrupt.hpp"
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

bool finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Whether everything the iteration is computed from is finite: then a
// non-finite magnetisation can only come from the iteration itself.
bool finite_inputs(std::span<const Vec3> nodes, double chi, double alpha, const Columns& hext, std::size_t count) {
  if (!std::isfinite(chi) || !std::isfinite(alpha)) return false;
  for (std::size_t i = 0; i < count; ++i)
    if (!finite({hext.x[i], hext.y[i], hext.z[i]})) return false;
  for (const Vec3& node : nodes)
    if (!finite(node)) return false;
  return true;
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

// Says why the magnetisation of `element` became non-finite in `iteration`.
// The field is linear in m, so a field that was finite in earlier iterations
// is finite for every finite m: after the first iteration only growth
// (divergence) is left. In the first, a degenerate element (zero or
// overflowing volume) may have an undefined field instead.
[[noreturn]] void throw_non_finite(std::uint32_t iteration, std::size_t element, double chi, double alpha,
                                   std::span<const Vec3> nodes, std::span<const Element> connectivity) {
  std::string text = "the magnetisation became non-finite in iteration " + std::to_string(iteration) +
                     " (element " + std::to_string(element) + ") although chi, alpha, hext and the nodes are finite: ";
  if (iteration == 0) {
    std::vector<double> vols(connectivity.size(), 0.0);
    volumes(nodes, connectivity, vols);
    for (std::size_t e = 0; e < vols.size(); ++e) {
      if (vols[e] > 0.0 && std::isfinite(vols[e])) continue;
      throw NonFiniteMagnetization(text + "element " + std::to_string(e) + " has volume " + number(vols[e]) +
                                   ", so its field is undefined; remove or repair degenerate elements");
    }
  }
  text += "the relaxed iteration diverges for chi = " + number(chi) + " with alpha = " + number(alpha);
  if (chi > -1.0)
    text += "; alpha = 2/(2 + chi) = " + number(2.0 / (2.0 + chi)) + " converges for every chi > -1";
  throw NonFiniteMagnetization(text);
}

}  // namespace

MagnetizationResult magnetization(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                  const Columns& centroids, double chi, const Columns& hext, const Solver& solver,
                                  double tol, std::uint32_t max_iterations, double alpha, bool edge,
                                  const ProgressSink& progress) {
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

  const bool must_stay_finite = finite_inputs(nodes, chi, alpha, hext, count);
  const double keep = 1.0 - alpha;
  for (std::uint32_t k = 0; k < max_iterations; ++k) {
    checkpoint();
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
      if (must_stay_finite && !finite(m[i])) throw_non_finite(k, i, chi, alpha, nodes, connectivity);
    }

    progress.write(progress.context, progress_line(k, max_change));
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
