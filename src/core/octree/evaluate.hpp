#pragma once
// Barnes-Hut evaluation of a built octree. At a target, a branch whose cube
// edge is smaller than theta times the distance to its centroid contributes
// the field of its aggregated moment at that centroid; any other branch is
// opened; a leaf contributes the exact field of its sources. The result at a
// target is the nested sum of these contributions: every opened branch sums
// its children in slot (Morton) order starting from zero, and hands that sum
// to its parent.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/simd/isa.hpp"
#include "core/dispatch/kernel_api.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/point_sources.hpp"
#include "core/octree/sources.hpp"
#include "core/octree/tet_sources.hpp"
#include "core/parallel.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Barnes-Hut acceptance: strict, and false whenever the distance, the product
// or the centroid is NaN (such a branch is opened). A target on the centroid
// never accepts it.
inline bool accepts(double size, const Vec3& centroid, const Vec3& target, double theta) {
  const Vec3 r = target - centroid;
  const double d = std::sqrt((r.x * r.x + r.y * r.y) + r.z * r.z);
  return size < theta * d;
}

// Indices 0 .. x.size()-1 of the points (x[i], y[i], z[i]) ordered by their
// Morton code on the box (ties by index); a few points keep their order.
std::vector<std::uint32_t> morton_order(const BoundingBox& box, std::span<const double> x, std::span<const double> y,
                                        std::span<const double> z);

// Field at target of all sources below node idx. The recursion over the
// children is unrolled into one forward walk over the pre-ordered nodes with
// one running sum per open level: an accepted branch or a leaf adds into the
// sum of its parent; when the walk leaves a subtree, the subtree's finished
// sum is added into its own parent's. The additions are exactly those of the
// recursion, in the same order.
template <class S>
  requires HFieldSolver<S>
Vec3 h_traverse(const Octree<S>& tree, std::uint32_t idx, const Vec3& target, double theta) {
  const Node* nodes = tree.nodes.data();
  const Node& top = at(tree.nodes, idx);
  if (top.is_leaf) return tree.sources.h_field_leaf(top.first, top.end, target);
  if (accepts(tree.size(top.level), centroid_of(top), target, theta))
    return tree.sources.h_field_branch(centroid_of(top), moment_of(top), target);

  const double* sizes = tree.sizes.data();
  const unsigned base = top.level;
  // sums[k]: children sum of the open branch at relative level k; `open` is
  // the relative level of the deepest open branch.
  std::array<Vec3, 24> sums;
  sums[0] = Vec3{};
  unsigned open = 0;
  for (std::uint32_t i = idx + 1; i < top.subtree_end;) {
    const Node& n = nodes[i];
    const unsigned k = n.level - base;  // its parent is open at k - 1
    for (; open >= k; --open) sums[open - 1] = sums[open - 1] + sums[open];
    if (n.is_leaf) {
      sums[k - 1] = sums[k - 1] + tree.sources.h_field_leaf(n.first, n.end, target);
      ++i;
    } else if (accepts(sizes[n.level], centroid_of(n), target, theta)) {
      sums[k - 1] = sums[k - 1] + tree.sources.h_field_branch(centroid_of(n), moment_of(n), target);
      i = n.subtree_end;
    } else {
      open = k;
      sums[k] = Vec3{};
      ++i;
    }
  }
  for (; open > 0; --open) sums[open - 1] = sums[open - 1] + sums[open];
  return sums[0];
}

// Adds the field at the targets listed in `order` (positions in `targets`)
// into out at the same positions, one target at a time. Source sets with
// vector kernels have overloads below that take several targets at once and
// give the same bits.
template <class S>
  requires HFieldSolver<S>
void h_field_in_order(const Octree<S>& tree, TargetSpan targets, std::span<const std::uint32_t> order, OutSpan out,
                      double theta, Isa /*isa*/) {
  for (const std::uint32_t i : order) {
    const Vec3 h = h_traverse(tree, 0, {targets.x[i], targets.y[i], targets.z[i]}, theta);
    out.x[i] = out.x[i] + h.x;
    out.y[i] = out.y[i] + h.y;
    out.z[i] = out.z[i] + h.z;
  }
}
void h_field_in_order(const Octree<DipoleSources<PointSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa);
void h_field_in_order(const Octree<CurrentSources<PointSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa);
void h_field_in_order(const Octree<DipoleSources<TetSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa);
void h_field_in_order(const Octree<CurrentSources<TetSources>>& tree, TargetSpan targets,
                      std::span<const std::uint32_t> order, OutSpan out, double theta, Isa isa);

// Adds the field at targets (x[i], y[i], z[i]) into (hx[i], hy[i], hz[i]),
// i = 0 .. x.size()-1: out += h_traverse(root, target). The other columns
// must be at least as long as x; the first one that is not aborts the call at
// its first missing entry. `isa` picks the kernel build (all give the same
// bits).
template <class S>
  requires HFieldSolver<S>
void h_field(const Octree<S>& tree, std::span<const double> x, std::span<const double> y, std::span<const double> z,
             std::span<double> hx, std::span<double> hy, std::span<double> hz, double theta,
             Isa isa = best_isa()) {
  const std::size_t n = x.size();
  std::size_t shortest = n;
  for (const std::size_t len : {y.size(), z.size(), hx.size(), hy.size(), hz.size()})
    shortest = std::min(shortest, len);
  if (shortest < n) panic_index(shortest, shortest);
  // Each target's value is independent of the others, so they are visited
  // along the Morton curve of the tree's box: neighbouring targets walk
  // nearly the same nodes and leaves, which then stay in cache, and run
  // together through the vector kernels.
  const std::vector<std::uint32_t> order = morton_order(tree.bbox, x, y, z);
  h_field_in_order(tree, TargetSpan{x.data(), y.data(), z.data(), n}, order, OutSpan{hx.data(), hy.data(), hz.data()},
                   theta, isa);
}

template <class S>
  requires HFieldSolver<S>
void h_field(const Octree<S>& tree, const Columns& targets, Columns& out, double theta) {
  h_field(tree, targets.x, targets.y, targets.z, out.x, out.y, out.z, theta);
}

// h_field over the worker pool: the targets are cut into consecutive pieces
// of max(1, floor(T / n)) (n the thread count of nthreads_requested), one task
// per piece. Each target's value does not depend on the division, so the
// result equals that of h_field bit for bit for every thread count.
template <class S>
  requires HFieldSolver<S>
void h_field_parallel(const Octree<S>& tree, const Columns& targets, Columns& out, double theta,
                      std::uint32_t nthreads_requested) {
  std::size_t paired = targets.size();
  for (const std::size_t len : {targets.y.size(), targets.z.size(), out.x.size(), out.y.size(), out.z.size()})
    paired = std::min(paired, len);
  for_each_piece(paired, nthreads_requested, [&](std::size_t begin, std::size_t end) {
    const std::size_t len = end - begin;
    h_field(tree, std::span(targets.x).subspan(begin, len), std::span(targets.y).subspan(begin, len),
            std::span(targets.z).subspan(begin, len), std::span(out.x).subspan(begin, len),
            std::span(out.y).subspan(begin, len), std::span(out.z).subspan(begin, len), theta);
  });
}

ZANDREL_END
