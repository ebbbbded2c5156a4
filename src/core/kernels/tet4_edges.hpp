#pragma once
// The edge formulation's primitives. The potential of a flat face carrying
// unit surface density, phi_f(r) = int dA'/|r - r'|, is a sum over its three
// edges of y * [F(u1) - F(u2)], F an antiderivative evaluated at the two edge
// ends in a frame attached to the edge (x along the edge, y in the face plane
// pointing into the face, z along the face normal); the field follows from
// the analytic partial derivatives of F. The magnetised and current-carrying
// tetrahedra (magnetised_tet4.hpp, current_tet4.hpp) sum these over the
// twelve edges of their four faces.
//
// Every function is a template over the vector type W (all lanes evaluate
// the same correctly rounded operations, thresholds are masks and both sides
// of every selection are computed), so a single target evaluated with
// simd::V1 equals its lane in any vector build bit for bit.
//
// An element is evaluated in its power-of-two length unit (length_unit.hpp):
// the antiderivative sees coordinates of the element's shape only. Targets in
// the plane of a face or on the line of an edge are decided alike by every
// element that has the face or edge (incidence.hpp).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/kernels/incidence.hpp"
#include "core/kernels/length_unit.hpp"
#include "core/kernels/tet4_faces.hpp"
#include "core/mesh/tet4_topology.hpp"
#include "core/simd/fastmath.hpp"
#include "core/simd/math_policy.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Where the antiderivative's terms are singular they are replaced by their
// limits or dropped: within this distance of zero (in the edge's own length
// unit, see Tet4EdgeFrames), x + r (the logarithm's argument) and r (the
// distance from the edge end) count as vanishing, and the gradient is
// dropped within it of the edge's line (|y|).
inline constexpr double edge_singular_distance = 1e-8;
// The arctangent term (|z|/y) atan(...) is evaluated for every y whose
// reciprocal is finite; below this |y| its limit at y = 0 is taken.
inline constexpr double edge_smallest_y = 1e-300;
// Targets within this height of a face's plane (in the element's unit, as
// its first edge measures it) are tested for lying in it; the test within
// rounding (incidence.hpp) reaches 2^-40 l1 l2 l3 / (2 area), which inside a
// face of longest edge at most 2 stays below it unless the face is a sliver
// of area below 2^-8. Within this share of an edge's length of its line (in
// the frame) targets are tested for lying on the line: on the edge itself
// the test reaches a quarter of the tolerance.
inline constexpr double near_plane_height = 0x1p-30;
inline constexpr double near_line_share = 4.0 * incidence_tolerance;
// The fast arctangent switches to its reduced form at |tangent| = 1, where
// it jumps by 3.3e-6. The two arctangents of the gradient are taken across
// that switch as one (see edge_integral_gradient) where they lie within
// atan_switch_straddle of each other; both then lie within
// atan_switch_window of pi/4 in magnitude, the cheap test that goes first.
inline constexpr double atan_switch_straddle = 1e-3;
inline constexpr double atan_switch_window = 2e-3;

// Local frame of the edge from A to B in the face (A, B, C): xhat points from
// B to A, zhat is the face normal (outward for a positively oriented
// element), yhat = xhat x zhat lies in the face and points into it. Local
// coordinates are measured from B. `cutoff` is the distance below which the
// antiderivative drops its singular terms; `near_line` is the square of
// near_line_share * len: targets closer to the line (in the frame) are
// tested for lying on it.
struct EdgeFrame {
  Vec3 xhat, yhat, zhat;
  Vec3 origin;  // B
  double len = 0.0;
  double cutoff = edge_singular_distance;
  double near_line = 0.0;
};

inline EdgeFrame edge_frame(const Vec3& a, const Vec3& b, const Vec3& c) {
  const Vec3 ab = a - b;
  const Vec3 xhat = ab * (1.0 / mag3(ab.x, ab.y, ab.z));
  const Vec3 ac = a - c;
  const Vec3 w = ac * (1.0 / mag3(ac.x, ac.y, ac.z));
  const Vec3 normal = cross(xhat, w);
  const Vec3 zhat = normal * (1.0 / mag(normal));
  const Vec3 yhat = cross(xhat, zhat);  // unit up to rounding; not renormalised
  const Vec3 ba = b - a;
  return {xhat, yhat, zhat, b, std::sqrt(dot(ba, ba))};
}

// (g . xhat, g . yhat, g . zhat).
inline Vec3 transform(const Vec3& g, const Vec3& xhat, const Vec3& yhat, const Vec3& zhat) {
  return {dot(g, xhat), dot(g, yhat), dot(g, zhat)};
}
template <class W>
inline Vec3Lanes<W> transform(const Vec3Lanes<W>& g, const Vec3& xhat, const Vec3& yhat, const Vec3& zhat) {
  return {dot(xhat, g), dot(yhat, g), dot(zhat, g)};
}

// A face's corners in lexicographic order, for the decisions on targets in
// its plane or on the lines of its edges (incidence.hpp). The height of a
// target above the face (along zhat) has the sign of `height_sign` times
// their triple product; `edge_ends[k]` are the positions of the ends of edge
// k among the corners, in lexicographic order.
struct FaceCorners {
  std::array<Vec3, 3> corner;
  double height_sign = 1.0;
  std::array<std::array<std::uint8_t, 2>, 3> edge_ends;
};

// The corners (a, b, c) of a face in traversal order; edge k runs from
// corner k to corner k + 1.
inline FaceCorners face_corners(const std::array<Vec3, 3>& p) {
  const CornerOrder order = lexicographic_order(p[0], p[1], p[2]);
  FaceCorners f;
  std::array<std::uint8_t, 3> rank{};
  for (std::uint8_t m = 0; m < 3; ++m) {
    f.corner[m] = p[order.index[m]];
    rank[order.index[m]] = m;
  }
  // The triple product in traversal order is -2 area times the height, and
  // the lexicographic order multiplies it by the permutation's sign.
  f.height_sign = -order.parity;
  for (std::size_t k = 0; k < 3; ++k) {
    const std::uint8_t u = rank[k], v = rank[(k + 1) % 3];
    f.edge_ends[k] = {std::min(u, v), std::max(u, v)};
  }
  return f;
}

// The twelve edge frames of an element, face by face, with origins and
// lengths in the element's length unit (length_unit.hpp): the antiderivative
// below is evaluated in local coordinates measured in that unit, and its
// results depend on the element's shape only. The unit is a power of two, 1
// for a longest edge in (1, 2]: scaling by it is exact, and the targets are
// scaled once per element. The cutoffs below which singular terms are
// dropped are edge_singular_distance in the edge's own length unit (that
// times a power of two at most 1 in the element's unit), the same in every
// element that has the edge: near an interior edge or node the terms that
// the elements around it drop must be the same, or they no longer cancel.
// The faces' corners are kept in the element's unit too.
struct Tet4EdgeFrames {
  std::array<std::array<EdgeFrame, 3>, 4> edge;
  std::array<FaceCorners, 4> corners;
  double unit = 1.0;
};

inline Tet4EdgeFrames tet4_edge_frames(const std::array<Vec3, 4>& nodes) {
  Tet4EdgeFrames frames;
  double longest = 0.0;
  for (std::size_t f = 0; f < 4; ++f)
    for (std::size_t k = 0; k < 3; ++k) {
      const auto [start, end, opposite] = tet4::face_edges[f][k];
      frames.edge[f][k] = edge_frame(nodes[start], nodes[end], nodes[opposite]);
      longest = std::max(longest, frames.edge[f][k].len);
    }
  frames.unit = length_unit(longest);
  const double per_unit = 1.0 / frames.unit;
  for (auto& face : frames.edge)
    for (EdgeFrame& e : face) {
      e.cutoff = edge_singular_distance * (length_unit(e.len) * per_unit);
      e.origin = e.origin * per_unit;
      e.len = e.len * per_unit;
      const double near = near_line_share * e.len;
      e.near_line = near * near;
    }
  for (std::size_t f = 0; f < 4; ++f) {
    const auto [a, b, c] = tet4::faces[f];
    frames.corners[f] = face_corners({nodes[a] * per_unit, nodes[b] * per_unit, nodes[c] * per_unit});
  }
  return frames;
}

// Targets in the unit of the element.
template <class W>
inline Vec3Lanes<W> in_units(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r) {
  return r * W::set1(1.0 / frames.unit);
}

// An element ready for an edge kernel: its twelve edge frames and its source
// vector (magnetisation or current density).
struct Tet4EdgeSource {
  Tet4EdgeFrames frames;
  Vec3 vector;
};

inline Tet4EdgeSource prepare_edges(const std::array<Vec3, 4>& nodes, const Vec3& vector) {
  return {tet4_edge_frames(nodes), vector};
}

// tan(beta - alpha) for alpha = arctan(x/y), beta = arctan(x|z|/(y r)), so
// that their difference takes one arctangent: beta - alpha = arctan of this
// (the product of the two tangents is never negative).
template <class W>
inline W arctangent_difference_argument(W x, W y, W az, W r) {
  return ((x * y) * (az - r)) / ((y * y) * r + (az * x) * x);
}

// F(x, y, z) = ln(x + r) + (|z|/y) [arctan(x|z|/(y r)) - arctan(x/y)], with the
// arctangent difference folded into one fast atan. The logarithm is dropped
// where x + r vanishes (at the edge's end), the arctangent term within
// `cut` of the edge's end and on the edge line. The kernels pass the
// edge's cutoff (edge_singular_distance for an edge whose unit is the
// element's).
template <class W>
inline W edge_integral(W x, W y, W z, W cut) {
  using simd::abs;
  using simd::fma;
  using simd::select;
  const W zero = W::set1(0.0);
  const W r = simd::sqrt(fma(x, x, fma(y, y, z * z)));
  const W xr = x + r;
  const auto direct = abs(xr) > cut;
  W log_term = select(direct, fastmath::ln(xr), zero);
  // Behind the edge's end (x < 0), on or near its line, x + r cancels to a
  // small residue although ln(x + r) stays finite: dropping the term there
  // would lose a term of order ln(distance) in F(u1) - F(u2). Without
  // cancellation x + r = (y^2 + z^2) / (r - x); ln(y^2 + z^2) is the same at
  // both ends of the edge and cancels in the difference, exactly on the line
  // too (the fast ln of 0 is finite).
  //
  // Ahead of the end (x >= 0) x + r is formed without cancellation, and
  // ln(x + r) is kept down to the end itself (dropped only where x + r is
  // zero). Near the end its value is the logarithmic singularity, which the
  // elements in which the edge runs the other way see behind the end: they
  // agree through the identity F(-x) = ln(y^2 + z^2) - F(x), which dropping
  // it within `cut` of the end would break at every node.
  if (simd::any(!direct)) {
    const auto behind = (!direct) & (x < zero);
    const auto ahead = (!direct) & (x >= zero) & (xr > zero);
    log_term = select(ahead, fastmath::ln(xr), log_term);
    log_term = select(behind, fastmath::ln(y * y + z * z) - fastmath::ln(r - x), log_term);
  }
  const W az = abs(z);
  const W atan_term = (W::set1(1.0) / y * az) * fastmath::atan(arctangent_difference_argument(x, y, az, r));
  // The arctangent term is finite and accurate for every y whose reciprocal
  // is finite: near y = 0 it tends to (|z| - r)/x, which the fast arctangent
  // reproduces with its slope at 0, 0.99997726. Cutting it off below
  // |y| = 1e-12 r would drop that limit, and would cut one end of an edge and
  // not the other near the edge's line, where the two ends cancel. At y = 0
  // (and |z| > 0) the limit itself is taken; with z = 0 the term vanishes.
  const auto keep = (r > cut) & (abs(y) > W::set1(edge_smallest_y));
  const auto in_plane = (!keep) & (r > cut) & (abs(x) > zero) & (az > zero);
  const W limit = simd::any(in_plane) ? ((az - r) / x) * W::set1(fastmath::atan_slope_at_zero) : zero;
  return log_term + select(keep, atan_term, select(in_plane, limit, zero));
}

// beta where alpha and beta straddle the fast arctangent's switch within
// atan_switch_straddle of each other (see edge_integral_gradient), else beta
// unchanged. Kept out of line: it is rarely needed.
template <class W>
[[gnu::noinline]] W beta_across_the_switch(W x, W y, W a, W r, W alpha, W beta) {
  using simd::abs;
  const W one = W::set1(1.0);
  const auto alpha_reduced = abs(x / y) > one, beta_reduced = abs((x * a) / (y * r)) > one;
  const auto straddle =
      ((alpha_reduced & !beta_reduced) | (beta_reduced & !alpha_reduced)) &
      (abs(alpha - beta) < W::set1(atan_switch_straddle));
  return simd::select(straddle, alpha + fastmath::atan(arctangent_difference_argument(x, y, a, r)), beta);
}

// (dF/dx, dF/dy, dF/dz); zero within `cut` of the edge line (and for a NaN y).
template <class W>
inline Vec3Lanes<W> edge_integral_gradient(W x, W y, W z, W cut) {
  using simd::abs;
  using simd::fma;
  using simd::select;
  const W one = W::set1(1.0);
  const W r2 = fma(x, x, fma(y, y, z * z));
  const W r = simd::sqrt(r2);
  const W a = abs(z);
  const W alpha = fastmath::atan(x / y);
  const W xa = x * a;
  W beta = fastmath::atan(xa / (y * r));
  // The fast arctangent jumps by 3.3e-6 where it switches to its reduced
  // form at |tangent| = 1. Where alpha and beta lie on opposite sides of
  // that switch and within atan_switch_straddle of each other (|x| close to
  // |y|, |z| large against both: targets on the diagonals of a regular
  // mesh), the jump is more than 0.3 % of alpha - beta, and |z|/y^2 times
  // that error swamps
  // dF/dy; there beta is taken as alpha plus their difference folded into
  // one arctangent, as in edge_integral. (Elsewhere the two arctangents are
  // as accurate, and their results are kept.)
  // Both then lie near +-pi/4, which is rare: that test goes first.
  if (simd::any(abs(abs(alpha) - W::set1(0.5 * fastmath::half_pi)) < W::set1(atan_switch_window)))
    beta = beta_across_the_switch(x, y, a, r, alpha, beta);
  const W yy = y * y, xx = x * x, zz = z * z;
  const W fx = (r - a) / (yy + xx);
  const W fy_1 = (a * (alpha - beta)) / yy;
  // Behind the edge's end (x < 0), near its line, x + r cancels to a few
  // correct digits; there it is formed as (y^2 + z^2) / (r - x), as in
  // edge_integral, or this term swamps the derivative.
  const W xr_direct = x + r;
  const auto behind = (!(abs(xr_direct) > cut)) & (x < W::set1(0.0));
  const W xr = simd::any(behind) ? select(behind, (yy + zz) / (r - x), xr_direct) : xr_direct;
  const W fy_2 = y / (r * xr);
  const W fy_3 = (a * (x / (yy * (xx / yy + one)) - (xa / (r * r2) + xa / (yy * r)) / (((zz * x) * x) / (yy * r2) + one))) / y;
  const W fy = (fy_1 + fy_2) + fy_3;
  // Sign of z with -0 counted negative; NaN for a NaN z.
  const W s = select(simd::isnan(z), z, simd::copysign(one, z));
  const W fz = ((zz * beta + ((a * y + (yy * beta - alpha * yy)) - zz * alpha)) / (y * (zz + yy))) * s;
  const auto valid = abs(y) > cut;
  const W zero = W::set1(0.0);
  return {select(valid, fx, zero), select(valid, fy, zero), select(valid, fz, zero)};
}

// Local coordinates of targets r in the edge frame (r and the frame in the
// element's unit).
template <class W>
inline Vec3Lanes<W> local_coordinates(const EdgeFrame& e, const Vec3Lanes<W>& r) {
  return transform(to_point(r, e.origin), e.xhat, e.yhat, e.zhat);
}

// Gradient of the edge's share of phi_f at targets with the given local
// coordinates (dimensionless, so the same in any unit), in the edge's frame.
// The sign of the height z comes from `height`, one value shared by the
// three edges of the face: dF/dz jumps with the sign of z, and the jumps of
// the three edges cancel only if they agree on it. Each edge measures z from
// its own origin along its own (rounded) normal, so for targets in the plane
// of the face their z is a rounding residue of either sign.
template <class W>
inline Vec3Lanes<W> edge_potential_gradient_local(const EdgeFrame& e, const Vec3Lanes<W>& local, W height) {
  const W y = local.y, z = simd::copysign(local.z, height);
  const W u1 = W::set1(e.len) - local.x;  // end A
  const W u2 = -local.x;                  // end B
  const W cut = W::set1(e.cutoff);
  const Vec3Lanes<W> g1 = edge_integral_gradient(u1, y, z, cut);
  const Vec3Lanes<W> g2 = edge_integral_gradient(u2, y, z, cut);
  const W gx = -y * (g1.x - g2.x);
  const W gy = (edge_integral(u1, y, z, cut) - edge_integral(u2, y, z, cut)) + y * (g1.y - g2.y);
  const W gz = y * (g1.z - g2.z);
  return {gx, gy, gz};
}

// Adds zhat (x) g for a gradient g in the edge's frame: row k (w0, w1, w2)
// gets zhat * (d phi / d x_k).
template <class W>
inline void add_to_tensor(const EdgeFrame& e, const Vec3Lanes<W>& g, Vec3Lanes<W>& w0, Vec3Lanes<W>& w1,
                          Vec3Lanes<W>& w2) {
  const W gx = (W::set1(e.zhat.x) * g.z + W::set1(e.xhat.x) * g.x) + W::set1(e.yhat.x) * g.y;
  const W gy = (W::set1(e.zhat.y) * g.z + W::set1(e.xhat.y) * g.x) + W::set1(e.yhat.y) * g.y;
  const W gz = (W::set1(e.zhat.z) * g.z + W::set1(e.xhat.z) * g.x) + W::set1(e.yhat.z) * g.y;
  w0 = w0 + e.zhat * gx;
  w1 = w1 + e.zhat * gy;
  w2 = w2 + e.zhat * gz;
}

// The decisions for targets near the plane of a face, taken on the face's
// corners in lexicographic order (incidence.hpp), alike in every element
// that has the face. `near` marks the targets within near_plane_height of
// the plane, as the face's first edge measures it.
// - The sign of the height: the rounded heights of two elements can
//   disagree.
// - In the plane (`flat`): the principal value, the mean of the limits from
//   either side. dF/dz is odd in z, so the face's normal derivative is
//   dropped: the two elements that share the face then cancel as they do
//   off the plane, and a target on the outer surface gets the mean of both
//   sides.
// - On the line of an edge: y and z are rounding residues whose ratio sets
//   the arctangent terms and whose size caps the logarithm. There F(u1) -
//   F(u2) is the edge's logarithmic potential ln((s + len)/(s - len)) (s the
//   sum of the distances to its ends), formed as the face formulation forms
//   it, from the same operands in every element, so that the singular terms
//   of the faces around an interior edge cancel; the derivative terms vanish
//   within the cutoff of the line anyway.
template <class W>
struct FaceNearPlane {
  std::array<Vec3Lanes<W>, 3> d;  // corners - targets, lexicographic order
  std::array<W, 3> l;
  typename W::mask near, flat;
  W height;  // carries the sign of the height

  FaceNearPlane(const FaceCorners& corners, const Vec3Lanes<W>& r, W first_height)
      : d{from_point(corners.corner[0], r), from_point(corners.corner[1], r), from_point(corners.corner[2], r)},
        l{mag(d[0]), mag(d[1]), mag(d[2])},
        near(simd::abs(first_height) <= W::set1(near_plane_height)) {
    const W triple = triple_product(d);
    flat = near & in_plane(triple, l);
    height = simd::select(near, triple * W::set1(corners.height_sign), first_height);
  }

  // The gradient g of edge k (local coordinates `local`) for targets in the
  // plane or on the edge's line.
  void adjust(const FaceCorners& corners, std::size_t k, const EdgeFrame& e, const Vec3Lanes<W>& local,
              Vec3Lanes<W>& g) const {
    g.z = simd::select(flat, W::set1(0.0), g.z);
    const auto close = near & (local.y * local.y + local.z * local.z <= W::set1(e.near_line));
    if (!simd::any(close)) return;
    const auto [lo, hi] = corners.edge_ends[k];
    const W on_line_value = edge_potential_lanes<FastMath>(l[lo], l[hi], W::set1(e.len));
    g.y = simd::select(close & on_line(d[lo], d[hi], l[lo], l[hi]), on_line_value, g.y);
  }
};

// Adds grad phi_f (x) n_f of one face at lanes of targets r (in the
// element's unit), edge by edge, for targets off the plane of the face;
// returns the targets within near_plane_height of it. The sign of the
// height is the one the face's first edge measures.
template <class W>
inline typename W::mask add_face_tensor(const std::array<EdgeFrame, 3>& face, const Vec3Lanes<W>& r,
                                        Vec3Lanes<W>& w0, Vec3Lanes<W>& w1, Vec3Lanes<W>& w2) {
  const Vec3Lanes<W> first = local_coordinates(face[0], r);
  for (std::size_t k = 0; k < 3; ++k) {
    const EdgeFrame& e = face[k];
    add_to_tensor(e, edge_potential_gradient_local(e, k == 0 ? first : local_coordinates(e, r), first.z), w0, w1, w2);
  }
  return simd::abs(first.z) <= W::set1(near_plane_height);
}

// The tensor of an element at lanes of which some lie near the plane of a
// face, into w0, w1, w2 (set, not added), face by face with the decisions of
// FaceNearPlane.
template <class W>
inline void edge_tensor_near_plane(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r, Vec3Lanes<W>& w0,
                                   Vec3Lanes<W>& w1, Vec3Lanes<W>& w2) {
  w0 = w1 = w2 = Vec3Lanes<W>::zero();
  for (std::size_t f = 0; f < 4; ++f) {
    const auto& face = frames.edge[f];
    const Vec3Lanes<W> first = local_coordinates(face[0], r);
    const FaceNearPlane<W> p(frames.corners[f], r, first.z);
    for (std::size_t k = 0; k < 3; ++k) {
      const EdgeFrame& e = face[k];
      const Vec3Lanes<W> local = k == 0 ? first : local_coordinates(e, r);
      Vec3Lanes<W> g = edge_potential_gradient_local(e, local, p.height);
      p.adjust(frames.corners[f], k, e, local, g);
      add_to_tensor(e, g, w0, w1, w2);
    }
  }
}

// Adds sum_f grad phi_f (x) n_f at lanes of targets: row k (w0, w1, w2)
// gets zhat * (d phi / d x_k), face by face, edge by edge. The element's sum
// is formed from zero and added at the end; where targets lie near the
// plane of a face (rarely), it is formed again with the decisions for them.
template <class W>
inline void add_edge_tensor(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r, Vec3Lanes<W>& w0,
                            Vec3Lanes<W>& w1, Vec3Lanes<W>& w2) {
  const Vec3Lanes<W> ru = in_units(frames, r);
  Vec3Lanes<W> s0 = Vec3Lanes<W>::zero(), s1 = s0, s2 = s0;
  typename W::mask near{};
  for (const auto& face : frames.edge) near = near | add_face_tensor(face, ru, s0, s1, s2);
  if (simd::any(near)) [[unlikely]]
    edge_tensor_near_plane(frames, ru, s0, s1, s2);
  w0 = w0 + s0;
  w1 = w1 + s1;
  w2 = w2 + s2;
}

// The edge's share y (F(u1) - F(u2)) of phi_f at lanes of targets r, in the
// element's unit (r and the frame in it).
template <class W>
inline W edge_potential_share(const EdgeFrame& e, const Vec3Lanes<W>& r) {
  const Vec3Lanes<W> local = local_coordinates(e, r);
  const W u1 = W::set1(e.len) - local.x;
  const W u2 = -local.x;
  const W cut = W::set1(e.cutoff);
  return local.y * (edge_integral(u1, local.y, local.z, cut) - edge_integral(u2, local.y, local.z, cut));
}

// Adds sum_f phi_f n_f at lanes of targets (each share scaled back from the
// element's unit).
template <class W>
inline void add_edge_potentials(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r, Vec3Lanes<W>& f) {
  const Vec3Lanes<W> ru = in_units(frames, r);
  const W unit = W::set1(frames.unit);
  for (const auto& face : frames.edge)
    for (const EdgeFrame& e : face) f = f + e.zhat * (edge_potential_share(e, ru) * unit);
}

// Scalar primitives (one lane of the vector code), with the cutoff of an
// edge whose length unit is its element's.
inline double edge_integral(double x, double y, double z) {
  using W = simd::V1;
  return edge_integral(W::set1(x), W::set1(y), W::set1(z), W::set1(edge_singular_distance)).v[0];
}
inline Vec3 edge_integral_gradient(double x, double y, double z) {
  using W = simd::V1;
  const Vec3Lanes<W> g = edge_integral_gradient(W::set1(x), W::set1(y), W::set1(z), W::set1(edge_singular_distance));
  return {g.x.v[0], g.y.v[0], g.z.v[0]};
}

ZANDREL_END
