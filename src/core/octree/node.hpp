#pragma once
// The stored octree node and what the evaluation reads of a built tree: plain
// records shared by every instruction-set build (no inline code in them), and
// the node's centroid and moment as vectors.
#include <cstddef>
#include <cstdint>

#include "core/octree/morton.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

namespace zandrel {

// One node (one cache line), stored in pre-order: centroid (cx, cy, cz),
// moment (mx, my, mz; zero for a leaf, which stores none), the range
// first .. end-1 of the sorted sources below the node, subtree_end one past
// the node's last descendant (a branch's first child is the next node), the
// level (root 0, a child its parent's + 1) and whether it is a leaf.
struct OctreeNode {
  double cx, cy, cz;
  double mx, my, mz;
  std::uint32_t first, end, subtree_end;
  std::uint8_t level, is_leaf;
};
static_assert(sizeof(OctreeNode) == 64);

// The nodes, the cube edge of every level and the opening parameter.
struct OctreeView {
  const OctreeNode* nodes;
  const double* sizes;
  double theta;
};

}  // namespace zandrel

ZANDREL_BEGIN

// Levels a tree can have: the root's 0 down to the Morton depth (a cell at
// that depth holds only identical codes and is never split further).
inline constexpr std::size_t octree_levels = morton::max_depth + 1;

inline Vec3 centroid_of(const OctreeNode& n) { return {n.cx, n.cy, n.cz}; }
inline Vec3 moment_of(const OctreeNode& n) { return {n.mx, n.my, n.mz}; }

ZANDREL_END
