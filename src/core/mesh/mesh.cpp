#include "core/mesh/mesh.hpp"

#include <cmath>

#include "core/constants.hpp"
#include "core/errors.hpp"
#include "core/interrupt.hpp"

ZANDREL_BEGIN

std::array<Vec3, 4> element_nodes(std::span<const Vec3> nodes, const Element& element) {
  for (std::uint32_t index : element) check_index(index, nodes.size());
  return {nodes[element[0]], nodes[element[1]], nodes[element[2]], nodes[element[3]]};
}

void volumes(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::span<double> out) {
  assert_eq(out.size(), connectivity.size());
  for (std::size_t i = 0; i < connectivity.size(); ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const auto [a, b, c, d] = element_nodes(nodes, connectivity[i]);
    const double s = dot(b - a, cross(c - a, d - a));
    out[i] = std::fabs(s) * one_sixth;
  }
}

void centroids(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::span<Vec3> out) {
  assert_eq(out.size(), connectivity.size());
  for (std::size_t i = 0; i < connectivity.size(); ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const auto [a, b, c, d] = element_nodes(nodes, connectivity[i]);
    out[i] = (((a + b) + c) + d) * 0.25;
  }
}

Vec3 node_coords(std::span<const double> nodes, std::size_t idx) {
  check_index(3 * idx, nodes.size());
  check_index(3 * idx + 1, nodes.size());
  check_index(3 * idx + 2, nodes.size());
  return {nodes[3 * idx], nodes[3 * idx + 1], nodes[3 * idx + 2]};
}

ZANDREL_END
