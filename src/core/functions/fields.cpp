// The field functions: result columns, then the direct sum or the octree.
#include <vector>

#include "core/direct/direct.hpp"
#include "core/functions/functions.hpp"
#include "core/octree/fields.hpp"

ZANDREL_BEGIN
namespace functions {
namespace {

std::vector<Vec3> records(const Columns& c) {
  std::vector<Vec3> out(c.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = {c.x[i], c.y[i], c.z[i]};
  return out;
}

}  // namespace

Columns h_current_point_direct(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                               const Columns& tgt_pts, std::uint32_t nthreads_requested) {
  Columns out(tgt_pts.size());
  h_current_point_direct_parallel(src_pts, src_vol, src_jdensity, tgt_pts, out, nthreads_requested);
  return out;
}

Columns h_current_point_octree(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                               const Columns& tgt_pts, double theta, std::uint32_t leaf_threshold,
                               std::uint32_t nthreads_requested) {
  Columns out(tgt_pts.size());
  h_current_point_octree(src_pts, src_vol, src_jdensity, tgt_pts, out, theta, leaf_threshold, nthreads_requested);
  return out;
}

Columns h_mag_point(const PointDipoleArrays& arrays, std::size_t target_rows, double theta,
                    std::uint32_t leaf_threshold, std::uint32_t nthreads_requested, bool use_octree) {
  Columns out(target_rows);
  if (use_octree) {
    const Columns targets = arrays.targets();
    const Columns centroids = arrays.centroids();
    const Columns mvectors = arrays.mvectors();
    h_mag_point_octree(centroids, arrays.volumes(), mvectors, targets, out, theta, leaf_threshold,
                       nthreads_requested);
    return out;
  }
  const std::vector<Vec3> centroids = records(arrays.centroids());
  const std::span<const double> volumes = arrays.volumes();
  const std::vector<Vec3> mvectors = records(arrays.mvectors());
  const Columns targets = arrays.targets();
  h_mag_point_direct_parallel(centroids, volumes, mvectors, targets, out, nthreads_requested);
  return out;
}

Columns h_current_tet4_direct(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                              std::span<const double> jdensity_flat, const Columns& tgts,
                              std::uint32_t nthreads_requested, bool edge) {
  Columns out(tgts.size());
  h_field_tet4_direct_parallel(nodes_flat, connectivity_flat, jdensity_flat, tgts, out, nthreads_requested, edge);
  return out;
}

Columns h_current_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::size_t rows,
                              const Deferred<std::span<const Vec3>>& jdensity, const Columns& tgt_pts, double theta,
                              std::uint32_t leaf_threshold, std::uint32_t nthreads_requested) {
  Columns out(tgt_pts.size());
  const ElementMeasures measures = element_measures(nodes, connectivity, rows);
  h_current_tet4_octree(nodes, connectivity, measures, jdensity(), tgt_pts, out, theta, leaf_threshold,
                        nthreads_requested);
  return out;
}

Columns h_mag_tet4(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::size_t rows,
                   std::span<const Vec3> mvectors, const Columns& targets, double theta, std::uint32_t leaf_threshold,
                   std::uint32_t nthreads_requested, bool use_octree, bool edge) {
  Columns out(targets.size());
  if (use_octree) {
    // The leaves always use the edge formulation; the result does not depend
    // on the division over threads.
    const ElementMeasures measures = element_measures(nodes, connectivity, rows);
    h_mag_tet4_octree(nodes, connectivity, measures, mvectors, targets, out, theta, leaf_threshold,
                      nthreads_requested);
  } else {
    h_mag_tet4_direct_parallel(nodes, connectivity, mvectors, targets, out, nthreads_requested, edge);
  }
  return out;
}

}  // namespace functions
ZANDREL_END
