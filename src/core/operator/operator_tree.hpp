#pragma once
// The operator's trees: points sorted along the Morton curve of a cube, cells
// halved (along z, y, x in turn) until they hold at most leaf_size points,
// every cell centred on its box (a geometric centre, the same for every
// magnetisation). Halving rather than cutting in eight keeps the leaves
// between half and all of leaf_size points whatever the mesh size. The
// sources' tree is over the element centroids; a set of targets gets a tree
// of its own on the same lattice of boxes, so that the offsets between cells
// are whole multiples of their sides and repeat. O(N log N).
#include <cstdint>
#include <span>
#include <vector>

#include "core/mesh/mesh.hpp"
#include "core/operator/operator_api.hpp"
#include "core/operator/tet_quadrature.hpp"
#include "core/vec3.hpp"

namespace zandrel {

struct Box {
  Vec3 centre;
  double side;  // the longest side
};

// The cube every code refers to, and the codes of points on it (points
// outside are clamped to its faces).
struct MortonCube {
  Vec3 min_corner;
  double side = 0.0;

  static MortonCube around(std::span<const Vec3> points);
  // The smallest cube holding every point whose cells are cells of this
  // cube's lattice (this cube, doubled towards the points as often as needed).
  MortonCube enclosing(std::span<const Vec3> points) const;
  std::uint64_t code(const Vec3& p) const;
  // The box of the codes sharing the leading `bits` bits of code.
  Box box(std::uint64_t code, unsigned bits) const;
};

struct Octree {
  MortonCube cube;
  std::vector<std::uint32_t> order;                // tree position -> point id
  std::vector<TreeCell> cells;                     // pre-order, root first
  std::vector<std::uint32_t> leaves;               // cell indices, in pre-order
  std::vector<std::vector<std::uint32_t>> levels;  // branch cells by depth (leading code bits)

  static Octree build(std::span<const Vec3> points, const MortonCube& cube, std::uint32_t leaf_size);
  std::size_t memory_bytes() const;
};

// Per element: centroid, volume, and radius (largest distance from the
// centroid to a node).
struct ElementData {
  std::vector<Vec3> centroids;
  std::vector<double> volumes;
  std::vector<double> radius;
};

ElementData element_data(std::span<const Vec3> nodes, std::span<const Element> elements);

}  // namespace zandrel
