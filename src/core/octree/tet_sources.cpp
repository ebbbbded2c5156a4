#include "core/octree/tet_sources.hpp"

#include "core/interrupt.hpp"
#include "core/octree/sort_by_indices.hpp"

ZANDREL_BEGIN

TetSources::TetSources(std::span<const Vec3> nodes_in, std::span<const Element> connectivity_in,
                       std::span<const Vec3> centroids_in, std::span<const double> volumes_in,
                       std::span<const Vec3> source_vectors_in) {
  // Copies of up to hundreds of megabytes: cancellable between them.
  bounding_box = BoundingBox::from_centroids_vec(centroids_in);
  checkpoint();
  nodes.assign(nodes_in.begin(), nodes_in.end());
  connectivity.assign(connectivity_in.begin(), connectivity_in.end());
  checkpoint();
  centroids.assign(centroids_in.begin(), centroids_in.end());
  volumes.assign(volumes_in.begin(), volumes_in.end());
  checkpoint();
  source_vectors.assign(source_vectors_in.begin(), source_vectors_in.end());
}

void TetSources::sort(std::span<const std::size_t> indices) {
  const std::size_t n = volumes.size();
  std::vector<Vec3> scratch_vecs(n);
  std::vector<Element> scratch_conn(n);
  std::vector<double> scratch_vol(n, 0.0);
  sort_by_indices<Vec3>(centroids, scratch_vecs, indices);
  sort_by_indices<Vec3>(source_vectors, scratch_vecs, indices);
  sort_by_indices<Element>(connectivity, scratch_conn, indices);
  sort_by_indices<double>(volumes, scratch_vol, indices);
}

Tet4Mesh TetSources::leaf_view(std::size_t start, std::size_t end) const {
  static_assert(sizeof(Vec3) == 3 * sizeof(double) && sizeof(Element) == 4 * sizeof(std::uint32_t));
  for (std::size_t i = start; i < end; ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    for (const std::uint32_t index : at(connectivity, i)) check_index(index, nodes.size());
    check_index(i, source_vectors.size());
  }
  return {reinterpret_cast<const double*>(nodes.data()), reinterpret_cast<const std::uint32_t*>(connectivity.data()),
          reinterpret_cast<const double*>(source_vectors.data()), end};
}

ZANDREL_END
