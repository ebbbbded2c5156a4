// Octree evaluations of tetrahedral sources.
#include "core/octree/evaluate.hpp"
#include "core/octree/fields.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/tet_sources.hpp"

ZANDREL_BEGIN

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
  DipoleSources<TetSources> sources(TetSources(nodes, connectivity, measures.centroids, measures.volumes, mvectors));
  const auto tree = build_from_sources(std::move(sources), morton::max_depth, leaf_threshold);
  h_field_parallel(tree, targets, out, theta, nthreads_requested);
}

void h_current_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                           const ElementMeasures& measures, std::span<const Vec3> jdensity, const Columns& targets,
                           Columns& out, double theta, std::uint32_t leaf_threshold,
                           std::uint32_t nthreads_requested) {
  CurrentSources<TetSources> sources(TetSources(nodes, connectivity, measures.centroids, measures.volumes, jdensity));
  const auto tree = build_from_sources(std::move(sources), morton::max_depth, leaf_threshold);
  h_field_parallel(tree, targets, out, theta, nthreads_requested);
}

ZANDREL_END
