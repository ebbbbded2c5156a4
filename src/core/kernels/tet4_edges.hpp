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
// the antiderivative sees coordinates of the element's shape only.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "core/kernels/length_unit.hpp"
#include "core/mesh/tet4_topology.hpp"
#include "core/simd/fastmath.hpp"
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

// Local frame of the edge from A to B in the face (A, B, C): xhat points from
// B to A, zhat is the face normal (outward for a positively oriented
// element), yhat = xhat x zhat lies in the face and points into it. Local
// coordinates are measured from B. `cutoff` is the distance below which the
// antiderivative drops its singular terms.
struct EdgeFrame {
  Vec3 xhat, yhat, zhat;
  Vec3 origin;  // B
  double len = 0.0;
  double cutoff = edge_singular_distance;
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
struct Tet4EdgeFrames {
  std::array<std::array<EdgeFrame, 3>, 4> edge;
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

// F(x, y, z) = ln(x + r) + (|z|/y) [arctan(x|z|/(y r)) - arctan(x/y)], with the
// arctangent difference folded into one fast atan. The logarithm is dropped
// where x + r vanishes (on the edge line beyond its end), the arctangent term
// within `cut` of the edge end and on the edge line. The kernels pass the
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
  const auto behind = (!direct) & (x < zero);
  if (simd::any(behind)) log_term = select(behind, fastmath::ln(y * y + z * z) - fastmath::ln(r - x), log_term);
  const W az = abs(z);
  const W arg = ((x * y) * (az - r)) / ((y * y) * r + (az * x) * x);
  const W atan_term = (W::set1(1.0) / y * az) * fastmath::atan(arg);
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
  const W beta = fastmath::atan(xa / (y * r));
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

// Gradient of the edge's share of phi_f at lanes of targets r (r and the
// frame in the element's unit; the gradient is dimensionless).
template <class W>
inline Vec3Lanes<W> edge_potential_gradient(const EdgeFrame& e, const Vec3Lanes<W>& r) {
  const Vec3Lanes<W> local = transform(to_point(r, e.origin), e.xhat, e.yhat, e.zhat);
  const W y = local.y, z = local.z;
  const W u1 = W::set1(e.len) - local.x;  // end A
  const W u2 = -local.x;                  // end B
  const W cut = W::set1(e.cutoff);
  const Vec3Lanes<W> g1 = edge_integral_gradient(u1, y, z, cut);
  const Vec3Lanes<W> g2 = edge_integral_gradient(u2, y, z, cut);
  const W gx = -y * (g1.x - g2.x);
  const W gy = (edge_integral(u1, y, z, cut) - edge_integral(u2, y, z, cut)) + y * (g1.y - g2.y);
  const W gz = y * (g1.z - g2.z);
  return {(W::set1(e.zhat.x) * gz + W::set1(e.xhat.x) * gx) + W::set1(e.yhat.x) * gy,
          (W::set1(e.zhat.y) * gz + W::set1(e.xhat.y) * gx) + W::set1(e.yhat.y) * gy,
          (W::set1(e.zhat.z) * gz + W::set1(e.xhat.z) * gx) + W::set1(e.yhat.z) * gy};
}

// The edge's share y (F(u1) - F(u2)) of phi_f at lanes of targets r, in the
// element's unit (r and the frame in it).
template <class W>
inline W edge_potential_share(const EdgeFrame& e, const Vec3Lanes<W>& r) {
  const Vec3Lanes<W> local = transform(to_point(r, e.origin), e.xhat, e.yhat, e.zhat);
  const W u1 = W::set1(e.len) - local.x;
  const W u2 = -local.x;
  const W cut = W::set1(e.cutoff);
  return local.y * (edge_integral(u1, local.y, local.z, cut) - edge_integral(u2, local.y, local.z, cut));
}

// Adds sum_f grad phi_f (x) n_f at lanes of targets: row k (w0, w1, w2) gets
// zhat * (d phi / d x_k), face by face, edge by edge.
template <class W>
inline void add_edge_tensor(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r, Vec3Lanes<W>& w0,
                            Vec3Lanes<W>& w1, Vec3Lanes<W>& w2) {
  const Vec3Lanes<W> ru = in_units(frames, r);
  for (const auto& face : frames.edge)
    for (const EdgeFrame& e : face) {
      const Vec3Lanes<W> g = edge_potential_gradient(e, ru);
      w0 = w0 + e.zhat * g.x;
      w1 = w1 + e.zhat * g.y;
      w2 = w2 + e.zhat * g.z;
    }
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
