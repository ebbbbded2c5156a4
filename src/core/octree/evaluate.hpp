#pragma once
// Barnes-Hut evaluation of a built octree at many targets: sequential
// (h_field) or over the worker pool (h_field_parallel), through the vector
// traversal of the source set's kind in the chosen build; and the traversal
// for one target (h_traverse). The traversal itself is walk.hpp.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/point_sources.hpp"
#include "core/octree/sources.hpp"
#include "core/octree/tet_sources.hpp"
#include "core/octree/walk.hpp"
#include "core/parallel.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Indices 0 .. x.size()-1 of the points (x[i], y[i], z[i]) ordered by their
// Morton code on the box (ties by index); a few points keep their order.
std::vector<std::uint32_t> morton_order(const BoundingBox& box, std::span<const double> x, std::span<const double> y,
                                        std::span<const double> z);

template <class S>
OctreeView view_of(const Octree<S>& tree, double theta) {
  return {tree.nodes.data(), tree.sizes.data(), theta};
}

// Field at `target` of all sources below node idx: the one-lane instance of
// the traversal (walk.hpp), through the set's HFieldSolver operations.
template <class S>
  requires HFieldSolver<S>
Vec3 h_traverse(const Octree<S>& tree, std::uint32_t idx, const Vec3& target, double theta) {
  using W = simd::V1;
  check_index(idx, tree.nodes.size());
  const OctreeView view = view_of(tree, theta);
  const Acceptance<W> accepts(view);
  auto leaf = [&](const Node& n, const Vec3Lanes<W>& t) {
    return Vec3Lanes<W>::set1(tree.sources.h_field_leaf(n.first, n.end, first_lane(t)));
  };
  auto far = [&](const Node& n, const Vec3Lanes<W>& t) {
    return Vec3Lanes<W>::set1(tree.sources.h_field_branch(centroid_of(n), moment_of(n), first_lane(t)));
  };
  return first_lane(walk(view, accepts, idx, Vec3Lanes<W>::set1(target), simd::first_lanes<W>(1), leaf, far));
}

// Adds the field at the targets listed in `order` (positions in `targets`)
// into out at the same positions, through the octree evaluation of the set's
// kind in the given build (every build gives the bits of h_traverse). The
// sources are validated once; the ordered targets then go through the kernel
// in consecutive runs, cancellable between runs (for_each_timed_run). Runs of
// a multiple of 8 targets fill whole vectors in every build, and no target's
// value depends on which others share its run.
template <class S>
  requires HFieldSolver<S>
void h_field_in_order(const Octree<S>& tree, TargetSpan targets, std::span<const std::uint32_t> order, OutSpan out,
                      double theta, Isa isa) {
  const auto kernel = octree_kernel<typename S::Kind>(isa);
  const OctreeView view = view_of(tree, theta);
  const auto sources = tree.sources.sources.kernel_view();
  for_each_timed_run(order.size(), 8, [&](std::size_t k0, std::size_t k1) {
    kernel(view, sources, TargetSpan{targets.x, targets.y, targets.z, k1 - k0}, order.data() + k0, out);
  });
}

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
