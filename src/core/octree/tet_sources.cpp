#include "core/octree/tet_sources.hpp"

#include "core/octree/sort_by_indices.hpp"
#include "core/kernels/tet4_edge.hpp"

ZANDREL_BEGIN

TetSources::TetSources(std::span<const Vec3> nodes_in, std::span<const Element> connectivity_in,
                       std::span<const Vec3> centroids_in, std::span<const double> volumes_in,
                       std::span<const Vec3> source_vectors_in) {
  bounding_box = BoundingBox::from_centroids_vec(centroids_in);
  nodes.assign(nodes_in.begin(), nodes_in.end());
  connectivity.assign(connectivity_in.begin(), connectivity_in.end());
  centroids.assign(centroids_in.begin(), centroids_in.end());
  volumes.assign(volumes_in.begin(), volumes_in.end());
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

Vec3 TetSources::dipole_leaf(std::size_t start, std::size_t end, const Vec3& target) const {
  Vec3 h;
  for (std::size_t i = start; i < end; ++i) {
    const std::array<Vec3, 4> element = element_nodes(nodes, at(connectivity, i));
    h = h + h_mag_tet4_edge_at(element, at(source_vectors, i), target);
  }
  return h;
}

Vec3 TetSources::current_leaf(std::size_t start, std::size_t end, const Vec3& target) const {
  Vec3 h;
  for (std::size_t i = start; i < end; ++i) {
    const std::array<Vec3, 4> element = element_nodes(nodes, at(connectivity, i));
    h = h + h_current_tet4_edge_at(element, at(source_vectors, i), target);
  }
  return h;
}

ZANDREL_END
