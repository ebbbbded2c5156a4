// Octree evaluations of the four kinds of source: one source set with its
// meaning, one tree, the parallel evaluation.
#include "core/octree/fields.hpp"

#include "core/octree/evaluate.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/point_sources.hpp"
#include "core/octree/tet_sources.hpp"

ZANDREL_BEGIN
namespace {

// Meaning (DipoleSources or CurrentSources) given to `set`, built into a tree
// and evaluated at the targets.
template <template <class> class Meaning, class Set>
void evaluate(Set set, const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
              std::uint32_t nthreads_requested) {
  const auto tree = build_from_sources(Meaning<Set>(std::move(set)), morton::max_depth, leaf_threshold);
  h_field_parallel(tree, targets, out, theta, nthreads_requested);
}

}  // namespace

void h_mag_point_octree(const Columns& centroids, std::span<const double> volumes, const Columns& mvectors,
                        const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
                        std::uint32_t nthreads_requested) {
  evaluate<DipoleSources>(
      PointSources(centroids.x, centroids.y, centroids.z, volumes, mvectors.x, mvectors.y, mvectors.z), targets,
      out, theta, leaf_threshold, nthreads_requested);
}

void h_current_point_octree(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                            const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
                            std::uint32_t nthreads_requested) {
  evaluate<CurrentSources>(
      PointSources(src_pts.x, src_pts.y, src_pts.z, src_vol, src_jdensity.x, src_jdensity.y, src_jdensity.z),
      targets, out, theta, leaf_threshold, nthreads_requested);
}

ElementMeasures element_measures(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                 std::size_t rows) {
  ElementMeasures m{std::vector<Vec3>(rows), std::vector<double>(rows, 0.0)};
  centroids(nodes, connectivity, m.centroids);
  volumes(nodes, connectivity, m.volumes);
  return m;
}

void h_mag_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                       const ElementMeasures& measures, std::span<const Vec3> mvectors, const Columns& targets,
                       Columns& out, double theta, std::uint32_t leaf_threshold, std::uint32_t nthreads_requested) {
  evaluate<DipoleSources>(TetSources(nodes, connectivity, measures.centroids, measures.volumes, mvectors), targets,
                          out, theta, leaf_threshold, nthreads_requested);
}

void h_current_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                           const ElementMeasures& measures, std::span<const Vec3> jdensity, const Columns& targets,
                           Columns& out, double theta, std::uint32_t leaf_threshold,
                           std::uint32_t nthreads_requested) {
  evaluate<CurrentSources>(TetSources(nodes, connectivity, measures.centroids, measures.volumes, jdensity), targets,
                           out, theta, leaf_threshold, nthreads_requested);
}

ZANDREL_END
