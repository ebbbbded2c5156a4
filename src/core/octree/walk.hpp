#pragma once
// The one Barnes-Hut traversal, written once over the vector type W and
// instantiated for every octree kind and instruction set (octree_isa.cpp);
// its one-lane instance (simd::V1) is the single-target walk h_traverse.
//
// At a target, a branch whose cube edge is smaller than theta times the
// distance to its centroid contributes the far field of its aggregated
// moment; any other branch is opened; a leaf contributes the exact field of
// its sources. The result is the nested sum of these contributions: every
// opened branch sums its children in slot (Morton) order starting from zero
// and hands that sum to its parent.
//
// The recursion is unrolled into one forward walk over the pre-ordered nodes
// with one running sum per open level: an accepted branch or a leaf adds into
// the sum of its parent; when the walk leaves a subtree, the subtree's
// finished sum is added into its own parent's. The targets of one vector
// (neighbours along the Morton curve) walk together: a node is visited when
// any lane needs it, and each lane adds a contribution only where its own
// walk would have visited that node, in the same nesting and order. So every
// target's result is that of the recursion, bit for bit, whatever its
// neighbours do.
#if defined(ZANDREL_ISA_AVX512)
// GCC 12 reports the deliberately undefined pass-through operand inside its
// own _mm512_sqrt_pd as uninitialised once it is inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/kernels/source_kind.hpp"
#include "core/octree/node.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/target_loop.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/spans.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Barnes-Hut acceptance per lane: size < theta * |t - centroid|, strict, and
// false when any part is NaN (such a branch is opened; a target on the
// centroid never accepts it). The square root is needed only near the
// threshold: with d2 = |t - centroid|^2, size^2 < theta^2 d2 (1 - margin)
// already decides "accept" and size^2 > theta^2 d2 (1 + margin) "reject" (the
// roundings of either form are below 1e-15 relative, far inside the margin);
// lanes in between take the exact test. The squares are used only where
// theta and the size lie in a range whose squares neither overflow nor
// underflow.
template <class W>
class Acceptance {
 public:
  static constexpr double margin = 1e-9;
  static constexpr double smallest_squarable = 1e-100;
  static constexpr double largest_squarable = 1e100;

  explicit Acceptance(const OctreeView& tree) : tree_(tree) {
    const double theta = tree.theta;
    const bool theta_ok = theta > smallest_squarable && theta < largest_squarable;
    const double t2 = theta * theta;
    t2_accept_ = t2 * (1.0 - margin);
    t2_reject_ = t2 * (1.0 + margin);
    for (std::size_t level = 0; level < octree_levels; ++level) {
      const double size = tree.sizes[level];
      fast_[level] = theta_ok && size > smallest_squarable && size < largest_squarable;
      size2_[level] = size * size;
    }
  }

  typename W::mask operator()(const OctreeNode& n, const Vec3Lanes<W>& t) const {
    const Vec3Lanes<W> r = to_point(t, centroid_of(n));
    const W d2 = (r.x * r.x + r.y * r.y) + r.z * r.z;
    if (fast_[n.level]) {
      const W s2 = W::set1(size2_[n.level]);
      const auto sure_accept = s2 < W::set1(t2_accept_) * d2;
      const auto sure_reject = s2 > W::set1(t2_reject_) * d2;
      if (!simd::any(!(sure_accept | sure_reject))) return sure_accept;
    }
    return W::set1(tree_.sizes[n.level]) < W::set1(tree_.theta) * simd::sqrt(d2);
  }

 private:
  const OctreeView& tree_;
  std::array<double, octree_levels> size2_{};
  std::array<bool, octree_levels> fast_{};
  double t2_accept_ = 0.0, t2_reject_ = 0.0;
};

// The field at lanes of targets t of all sources below node `top`, for the
// lanes in `in_use` (the others, padding, come out zero without opening
// anything). leaf(node, t) is the exact field of a leaf's sources, far(node,
// t) the far field of a branch's aggregated moment; both are evaluated for
// every lane and kept where the lane needs them.
template <class W, class Leaf, class Far>
Vec3Lanes<W> walk(const OctreeView& tree, const Acceptance<W>& accepts, std::uint32_t top, const Vec3Lanes<W>& t,
                  typename W::mask in_use, Leaf&& leaf, Far&& far) {
  using V3 = Vec3Lanes<W>;
  using Mask = typename W::mask;
  // Per lane: a += b where m is set.
  auto add_where = [](Mask m, V3& a, const V3& b) { a = select(m, a + b, a); };

  const OctreeNode* nodes = tree.nodes;
  const OctreeNode& root = nodes[top];
  if (root.is_leaf) return leaf(root, t);
  const Mask root_accepts = accepts(root, t) & in_use;
  V3 root_field = V3::zero();
  if (simd::any(root_accepts)) root_field = far(root, t);
  // active[k]: lanes for which the open branch at relative level k is
  // opened; sums[k]: their running sums of its children.
  std::array<Mask, octree_levels> active;
  std::array<V3, octree_levels> sums;
  active[0] = in_use & !root_accepts;
  if (!simd::any(active[0])) return root_field;
  sums[0] = V3::zero();
  const unsigned base = root.level;
  unsigned open = 0;
  for (std::uint32_t i = top + 1; i < root.subtree_end;) {
    const OctreeNode& n = nodes[i];
    const unsigned k = n.level - base;  // its parent is open at k - 1
    for (; open >= k; --open) add_where(active[open], sums[open - 1], sums[open]);
    const Mask parent = active[k - 1];
    if (n.is_leaf) {
      add_where(parent, sums[k - 1], leaf(n, t));
      ++i;
      continue;
    }
    const Mask accepted = accepts(n, t) & parent;
    if (simd::any(accepted)) add_where(accepted, sums[k - 1], far(n, t));
    const Mask opened = parent & !accepted;
    if (simd::any(opened)) {
      open = k;
      active[k] = opened;
      sums[k] = V3::zero();
      ++i;
    } else {
      i = n.subtree_end;
    }
  }
  for (; open > 0; --open) add_where(active[open], sums[open - 1], sums[open]);
  return select(root_accepts, root_field, sums[0]);
}

// The exact field of one leaf's sources and the far field of one branch's
// aggregated moment at lanes of targets, by the kernels of kind K. They stay
// out of line, so that the walk's own state keeps to the registers.
template <FarFieldKind K, class W>
[[gnu::noinline]] Vec3Lanes<W> leaf_field(const typename K::Sources& sources, const OctreeNode& n,
                                          const Vec3Lanes<W>& t) {
  return run_field<K>(sources, n.first, n.end, t);
}
template <FarFieldKind K, class W>
[[gnu::noinline]] Vec3Lanes<W> branch_field(const OctreeNode& n, const Vec3Lanes<W>& t) {
  return K::far_field(centroid_of(n), moment_of(n), t);
}

// out[i] += H(target i) for targets.n targets, visited a vector at a time in
// the given order (order[0 .. targets.n-1], distinct positions in the columns:
// neighbours along the Morton curve walk nearly the same nodes together).
// Leaves by K's kernel, branches by K's far field.
template <FarFieldKind K, class W>
void octree_sum(const OctreeView& tree, const typename K::Sources& sources, TargetSpan targets,
                const std::uint32_t* order, OutSpan out) {
  const Acceptance<W> accepts(tree);
  auto leaf = [&](const OctreeNode& n, const Vec3Lanes<W>& t) { return leaf_field<K>(sources, n, t); };
  for_target_vectors<W>(
      targets, out,
      [&](const std::array<Vec3Lanes<W>, 1>& t, std::array<Vec3Lanes<W>, 1>& h, std::size_t count) {
        h[0] = h[0] + walk(tree, accepts, 0, t[0], simd::first_lanes<W>(count), leaf, branch_field<K, W>);
      },
      InOrder{order});
}

ZANDREL_END
