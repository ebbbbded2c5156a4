#include "core/octree/evaluate.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "core/octree/morton.hpp"

ZANDREL_BEGIN

std::vector<std::uint32_t> morton_order(const BoundingBox& box, std::span<const double> x, std::span<const double> y,
                                        std::span<const double> z) {
  const std::size_t n = x.size();
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  if (n < 64) return order;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(n);
  const Vec3 min_corner = box.min_corner();
  for (std::size_t i = 0; i < n; ++i)
    keyed[i] = {morton::encode({x[i], y[i], z[i]}, morton::scale, box.side_length, min_corner),
                static_cast<std::uint32_t>(i)};
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
  return order;
}

namespace {

template <class S>
OctreeView view_of(const Octree<S>& tree, double theta) {
  return {tree.nodes.data(), tree.sizes.data(), theta};
}

// The sorted point columns; every leaf range lies below len(), and each
// column is checked to hold len() entries (the first missing one aborts).
PointSourceColumns columns_of(const PointSources& s) {
  const std::size_t n = s.len();
  for (const auto* col : {&s.yg, &s.zg, &s.r, &s.vjx, &s.vjy, &s.vjz})
    if (col->size() < n) panic_index(col->size(), col->size());
  return {s.xg.data(), s.yg.data(), s.zg.data(), s.r.data(), s.vjx.data(), s.vjy.data(), s.vjz.data()};
}

// The sorted elements with every access the leaves make checked first, in
// the order the leaves make them: node indices a, b, c, d, then the vector.
Tet4Mesh mesh_of(const TetSources& s) {
  const std::size_t n = s.len();
  for (std::size_t i = 0; i < n; ++i) {
    for (const std::uint32_t index : at(s.connectivity, i)) check_index(index, s.nodes.size());
    check_index(i, s.source_vectors.size());
  }
  return {reinterpret_cast<const double*>(s.nodes.data()),
          reinterpret_cast<const std::uint32_t*>(s.connectivity.data()),
          reinterpret_cast<const double*>(s.source_vectors.data()), n};
}

}  // namespace

void h_field_in_order(const Octree<DipoleSources<PointSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa) {
  octree_kernels(isa).h_dipole_points(view_of(tree, theta), columns_of(tree.sources.sources), targets, order.data(),
                                      out);
}

void h_field_in_order(const Octree<CurrentSources<PointSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa) {
  octree_kernels(isa).h_current_points(view_of(tree, theta), columns_of(tree.sources.sources), targets,
                                       order.data(), out);
}

void h_field_in_order(const Octree<DipoleSources<TetSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa) {
  octree_kernels(isa).h_dipole_tet4(view_of(tree, theta), mesh_of(tree.sources.sources), targets, order.data(), out);
}

void h_field_in_order(const Octree<CurrentSources<TetSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa) {
  octree_kernels(isa).h_current_tet4(view_of(tree, theta), mesh_of(tree.sources.sources), targets, order.data(),
                                     out);
}

ZANDREL_END
