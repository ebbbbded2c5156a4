// Octree evaluations of point sources.
#include "core/octree/evaluate.hpp"
#include "core/octree/fields.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/point_sources.hpp"

ZANDREL_BEGIN

void h_mag_point_octree(const Columns& centroids, std::span<const double> volumes, const Columns& mvectors,
                        const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
                        std::uint32_t nthreads_requested) {
  DipoleSources<PointSources> sources(
      PointSources(centroids.x, centroids.y, centroids.z, volumes, mvectors.x, mvectors.y, mvectors.z));
  const auto tree = build_from_sources(std::move(sources), morton::max_depth, leaf_threshold);
  h_field_parallel(tree, targets, out, theta, nthreads_requested);
}

void h_current_point_octree(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                            const Columns& targets, Columns& out, double theta, std::uint32_t leaf_threshold,
                            std::uint32_t nthreads_requested) {
  CurrentSources<PointSources> sources(
      PointSources(src_pts.x, src_pts.y, src_pts.z, src_vol, src_jdensity.x, src_jdensity.y, src_jdensity.z));
  const auto tree = build_from_sources(std::move(sources), morton::max_depth, leaf_threshold);
  h_field_parallel(tree, targets, out, theta, nthreads_requested);
}

ZANDREL_END
