// Barnes-Hut evaluation of several targets at once, compiled once per
// instruction set. The targets of one vector (neighbours along the Morton
// curve) walk the pre-ordered node list together: a node is visited when any
// lane needs it, and each lane adds a contribution only where its own walk
// would have visited that node, in the same nesting and order (see
// h_traverse in core/octree/evaluate.hpp). So every target's result is that
// of the one-target walk, bit for bit, whatever its neighbours do.
#if defined(ZANDREL_ISA_AVX512)
// GCC 12 reports the deliberately undefined pass-through operand inside its
// own _mm512_sqrt_pd as uninitialised once it is inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/dispatch/kernel_api.hpp"
#include "core/kernels/point.hpp"
#include "core/simd/simd.hpp"
#include "core/kernels/tet4_edge.hpp"
#include "core/vec3.hpp"
#include "core/simd/vec3_lanes.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;
using M = W::mask;
using V3 = Vec3Lanes<W>;
constexpr std::size_t lanes = W::lanes;

using simd::any;

V3 select3(M m, const V3& a, const V3& b) {
  return {simd::select(m, a.x, b.x), simd::select(m, a.y, b.y), simd::select(m, a.z, b.z)};
}

// Per lane: a += b where m is set, a unchanged elsewhere.
void add_where(M m, V3& a, const V3& b) { a = select3(m, a + b, a); }

// Barnes-Hut acceptance per lane: size < theta * |t - centroid|, false when
// any part is NaN. The square root is needed only near the threshold: with
// d2 = |t - centroid|^2, size^2 < theta^2 d2 (1 - 1e-9) already decides
// "accept" and size^2 > theta^2 d2 (1 + 1e-9) "reject" (the roundings of
// either form are below 1e-15 relative, and the squares are kept away from
// overflow and underflow); lanes in between take the exact test.
class Acceptance {
 public:
  explicit Acceptance(const OctreeView& tree) : tree_(tree) {
    const double theta = tree.theta;
    const bool theta_ok = theta > 1e-100 && theta < 1e100;
    const double t2 = theta * theta;
    t2_accept_ = t2 * (1.0 - 1e-9);
    t2_reject_ = t2 * (1.0 + 1e-9);
    for (std::size_t level = 0; level < levels; ++level) {
      const double size = tree.sizes[level];
      fast_[level] = theta_ok && size > 1e-100 && size < 1e100;
      size2_[level] = size * size;
    }
  }

  M operator()(const OctreeNode& n, const V3& t) const {
    const W rx = t.x - W::set1(n.cx), ry = t.y - W::set1(n.cy), rz = t.z - W::set1(n.cz);
    const W d2 = (rx * rx + ry * ry) + rz * rz;
    if (fast_[n.level]) {
      const W s2 = W::set1(size2_[n.level]);
      const M sure_accept = s2 < W::set1(t2_accept_) * d2;
      const M sure_reject = s2 > W::set1(t2_reject_) * d2;
      if (!any(!(sure_accept | sure_reject))) return sure_accept;
    }
    return W::set1(tree_.sizes[n.level]) < W::set1(tree_.theta) * simd::sqrt(d2);
  }

 private:
  static constexpr std::size_t levels = 22;
  const OctreeView& tree_;
  std::array<double, levels> size2_{};
  std::array<bool, levels> fast_{};
  double t2_accept_ = 0.0, t2_reject_ = 0.0;
};

// The walk of a vector of targets from the root. leaf(node, t) is the exact
// field of a leaf's sources, far(node, t) the field of a branch's aggregated
// moment; both are evaluated for every lane and kept where the lane needs them.
template <class Leaf, class Far>
V3 walk(const OctreeView& tree, const Acceptance& accepts, const V3& t, Leaf&& leaf, Far&& far) {
  const OctreeNode* nodes = tree.nodes;
  const OctreeNode& root = nodes[0];
  if (root.is_leaf) return leaf(root, t);
  const M root_accepts = accepts(root, t);
  V3 root_field = V3::zero();
  if (any(root_accepts)) root_field = far(root, t);
  // active[k]: lanes for which the open branch at level k is opened;
  // sums[k]: their running sums of its children.
  std::array<M, 24> active;
  std::array<V3, 24> sums;
  active[0] = !root_accepts;
  if (!any(active[0])) return root_field;
  sums[0] = V3::zero();
  unsigned open = 0;
  for (std::uint32_t i = 1; i < root.subtree_end;) {
    const OctreeNode& n = nodes[i];
    const unsigned k = n.level;
    for (; open >= k; --open) add_where(active[open], sums[open - 1], sums[open]);
    const M parent = active[k - 1];
    if (n.is_leaf) {
      add_where(parent, sums[k - 1], leaf(n, t));
      ++i;
      continue;
    }
    const M accepted = accepts(n, t) & parent;
    if (any(accepted)) add_where(accepted, sums[k - 1], far(n, t));
    const M opened = parent & !accepted;
    if (any(opened)) {
      open = k;
      active[k] = opened;
      sums[k] = V3::zero();
      ++i;
    } else {
      i = n.subtree_end;
    }
  }
  for (; open > 0; --open) add_where(active[open], sums[open - 1], sums[open]);
  return select3(root_accepts, root_field, sums[0]);
}

// Runs walk_one(t) for the targets in `order`, a vector at a time; a last
// partial vector repeats its last target in the spare lanes (their results
// are dropped). Results are added into out at the targets' own positions.
template <class WalkOne>
void for_target_groups(TargetSpan targets, const std::uint32_t* order, OutSpan out, WalkOne&& walk_one) {
  for (std::size_t j = 0; j < targets.n; j += lanes) {
    const std::size_t count = std::min(lanes, targets.n - j);
    alignas(64) double tx[lanes], ty[lanes], tz[lanes];
    std::uint32_t idx[lanes];
    for (std::size_t k = 0; k < lanes; ++k) {
      idx[k] = order[j + std::min(k, count - 1)];
      tx[k] = targets.x[idx[k]];
      ty[k] = targets.y[idx[k]];
      tz[k] = targets.z[idx[k]];
    }
    const V3 h = walk_one(V3{W::load(tx), W::load(ty), W::load(tz)});
    h.x.store(tx);
    h.y.store(ty);
    h.z.store(tz);
    for (std::size_t k = 0; k < count; ++k) {
      out.x[idx[k]] = out.x[idx[k]] + tx[k];
      out.y[idx[k]] = out.y[idx[k]] + ty[k];
      out.z[idx[k]] = out.z[idx[k]] + tz[k];
    }
  }
}

// One walk per vector of targets, with the leaf kernel leaf(sources, node,
// targets) and the far-field kernel far(node, targets).
template <auto leaf, auto far, class Sources>
void evaluate(const OctreeView& tree, const Sources& sources, TargetSpan targets, const std::uint32_t* order,
              OutSpan out) {
  const Acceptance accepts(tree);
  for_target_groups(targets, order, out, [&](const V3& t) {
    return walk(tree, accepts, t, [&](const OctreeNode& n, const V3& p) { return leaf(sources, n, p); }, far);
  });
}

// ---- point dipoles --------------------------------------------------------

// Field of one point dipole (moment m, radius) at lanes r = t - centroid: the
// operations of h_point_dipole; the uniform inside field only where needed.
V3 dipole_lanes(W rx, W ry, W rz, double mx, double my, double mz, double radius) {
  const W rmag = simd::sqrt((rx * rx + ry * ry) + rz * rz);
  const W rinv = W::set1(1.0) / rmag;
  const W ux = rx * rinv, uy = ry * rinv, uz = rz * rinv;
  const W c = W::set1(inv_4pi) * ((rinv * rinv) * rinv);
  const W Mx = W::set1(mx), My = W::set1(my), Mz = W::set1(mz);
  const W d3 = W::set1(3.0) * ((Mx * ux + My * uy) + Mz * uz);
  V3 h{(ux * d3 - Mx) * c, (uy * d3 - My) * c, (uz * d3 - Mz) * c};
  const M inside = rmag <= W::set1(radius);
  if (any(inside)) h = select3(inside, V3::set1(dipole_core_field({mx, my, mz}, radius)), h);
  return h;
}

V3 dipole_points_leaf(const PointSourceColumns& s, const OctreeNode& n, const V3& t) {
  V3 h = V3::zero();
  for (std::size_t i = n.first; i < n.end; ++i)
    h = h + dipole_lanes(t.x - W::set1(s.x[i]), t.y - W::set1(s.y[i]), t.z - W::set1(s.z[i]), s.vjx[i], s.vjy[i],
                         s.vjz[i], s.r[i]);
  return h;
}

V3 dipole_far(const OctreeNode& n, const V3& t) {
  return dipole_lanes(t.x - W::set1(n.cx), t.y - W::set1(n.cy), t.z - W::set1(n.cz), n.mx, n.my, n.mz, 0.0);
}

void h_dipole_points(const OctreeView& tree, const PointSourceColumns& sources, TargetSpan targets,
                     const std::uint32_t* order, OutSpan out) {
  evaluate<dipole_points_leaf, dipole_far>(tree, sources, targets, order, out);
}

// ---- point current elements -------------------------------------------------

// Field of one current element vj at lanes r = t - centroid: the operations of
// h_point, with the core factor (inside the radius) only where needed.
V3 current_lanes(W rx, W ry, W rz, double vjx, double vjy, double vjz, double radius) {
  const W jx = W::set1(vjx), jy = W::set1(vjy), jz = W::set1(vjz);
  const W vx = jy * rz - jz * ry, vy = jz * rx - jx * rz, vz = jx * ry - jy * rx;
  const W rmag = simd::sqrt((rx * rx + ry * ry) + rz * rz);
  W f = W::set1(inv_4pi) / ((rmag * rmag) * rmag);
  const M inside = rmag < W::set1(radius);
  if (any(inside)) f = simd::select(inside, W::set1(inv_4pi / ((radius * radius) * radius)), f);
  return {vx * f, vy * f, vz * f};
}

V3 current_points_leaf(const PointSourceColumns& s, const OctreeNode& n, const V3& t) {
  V3 h = V3::zero();
  for (std::size_t i = n.first; i < n.end; ++i)
    h = h + current_lanes(t.x - W::set1(s.x[i]), t.y - W::set1(s.y[i]), t.z - W::set1(s.z[i]), s.vjx[i], s.vjy[i],
                          s.vjz[i], s.r[i]);
  return h;
}

V3 current_far(const OctreeNode& n, const V3& t) {
  return current_lanes(t.x - W::set1(n.cx), t.y - W::set1(n.cy), t.z - W::set1(n.cz), n.mx, n.my, n.mz, 0.0);
}

void h_current_points(const OctreeView& tree, const PointSourceColumns& sources, TargetSpan targets,
                      const std::uint32_t* order, OutSpan out) {
  evaluate<current_points_leaf, current_far>(tree, sources, targets, order, out);
}

// ---- tetrahedra (edge-integral formulation) ---------------------------------

Vec3 read_vec3(const double* p) { return {p[0], p[1], p[2]}; }

std::array<Vec3, 4> element_nodes_of(const Tet4Mesh& mesh, std::size_t e) {
  const std::uint32_t* idx = mesh.elements + 4 * e;
  return {read_vec3(mesh.nodes + 3 * std::size_t{idx[0]}), read_vec3(mesh.nodes + 3 * std::size_t{idx[1]}),
          read_vec3(mesh.nodes + 3 * std::size_t{idx[2]}), read_vec3(mesh.nodes + 3 * std::size_t{idx[3]})};
}

// Elements first .. end-1 added in order into a zero result, as the edge
// kernels add them into an output column.
V3 dipole_tet4_leaf(const Tet4Mesh& mesh, const OctreeNode& n, const V3& t) {
  W hx = W::set1(0.0), hy = hx, hz = hx;
  for (std::size_t e = n.first; e < n.end; ++e) {
    const Tet4EdgeFrames frames = tet4_edge_frames(element_nodes_of(mesh, e));
    V3 w0 = V3::zero(), w1 = w0, w2 = w0;
    add_edge_tensor(frames, t, w0, w1, w2);
    add_magnetised_field(read_vec3(mesh.vectors + 3 * e), w0, w1, w2, hx, hy, hz);
  }
  return {hx, hy, hz};
}

V3 current_tet4_leaf(const Tet4Mesh& mesh, const OctreeNode& n, const V3& t) {
  W hx = W::set1(0.0), hy = hx, hz = hx;
  for (std::size_t e = n.first; e < n.end; ++e) {
    const Tet4EdgeFrames frames = tet4_edge_frames(element_nodes_of(mesh, e));
    V3 f = V3::zero();
    add_edge_potentials(frames, t, f);
    add_current_field(read_vec3(mesh.vectors + 3 * e), f, hx, hy, hz);
  }
  return {hx, hy, hz};
}

void h_dipole_tet4(const OctreeView& tree, const Tet4Mesh& sources, TargetSpan targets,
                   const std::uint32_t* order, OutSpan out) {
  evaluate<dipole_tet4_leaf, dipole_far>(tree, sources, targets, order, out);
}

void h_current_tet4(const OctreeView& tree, const Tet4Mesh& sources, TargetSpan targets,
                    const std::uint32_t* order, OutSpan out) {
  evaluate<current_tet4_leaf, current_far>(tree, sources, targets, order, out);
}

}  // namespace

const OctreeKernels& octree_kernels_table() {
  static const OctreeKernels table{&h_dipole_points, &h_current_points, &h_dipole_tet4, &h_current_tet4};
  return table;
}

ZANDREL_END
