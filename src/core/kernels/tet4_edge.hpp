#pragma once
// Edge-integral formulation of the tetrahedron fields. The potential of a
// flat face carrying unit surface density, phi_f(r) = int dA'/|r - r'|, is a
// sum over its three edges of y * [F(u1) - F(u2)], F an antiderivative
// evaluated at the two edge ends in a frame attached to the edge (x along the
// edge, y in the face plane pointing into the face, z along the face normal).
// The field follows from the analytic partial derivatives of F:
//   magnetised:  H = -(1/4pi) sum_f (M . n_f) grad phi_f, gathered first as
//                the tensor sum_f grad phi_f (x) n_f, then contracted with M;
//   current:     H = (1/4pi) J x sum_f phi_f n_f.
// Every function is a template over the vector type W (all lanes evaluate
// the same correctly rounded operations, thresholds are masks and both sides
// of every selection are computed), so a single target evaluated with
// simd::V1 equals its lane in any vector build bit for bit.
#include <array>
#include <cmath>
#include <cstddef>

#include "core/simd/fastmath.hpp"
#include "core/simd/isa.hpp"
#include "core/dispatch/kernel_api.hpp"
#include "core/kernels/point.hpp"
#include "core/simd/simd.hpp"
#include "core/vec3.hpp"
#include "core/simd/vec3_lanes.hpp"

ZANDREL_BEGIN

// The three edges (start, end, opposite) of each face, in the face order of
// the face formulation; the edges of a face are the cyclic rotations of its
// corner triple, so every face is walked in the same sense.
inline constexpr std::array<std::array<std::array<std::size_t, 3>, 3>, 4> tet4_edge_table = {{
    {{{0, 2, 1}, {2, 1, 0}, {1, 0, 2}}},
    {{{0, 3, 2}, {3, 2, 0}, {2, 0, 3}}},
    {{{1, 2, 3}, {2, 3, 1}, {3, 1, 2}}},
    {{{0, 1, 3}, {1, 3, 0}, {3, 0, 1}}},
}};

// Local frame of the edge from A to B in the face (A, B, C): xhat points from
// B to A, zhat is the face normal (outward for a positively oriented
// element), yhat = xhat x zhat lies in the face and points into it. Local
// coordinates are measured from B.
struct EdgeFrame {
  Vec3 xhat, yhat, zhat;
  Vec3 origin;  // B
  double len = 0.0;
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

// The twelve edge frames of an element, face by face.
struct Tet4EdgeFrames {
  std::array<std::array<EdgeFrame, 3>, 4> edge;
};

inline Tet4EdgeFrames tet4_edge_frames(const std::array<Vec3, 4>& nodes) {
  Tet4EdgeFrames frames;
  for (std::size_t f = 0; f < 4; ++f)
    for (std::size_t k = 0; k < 3; ++k) {
      const auto& [start, end, opposite] = tet4_edge_table[f][k];
      frames.edge[f][k] = edge_frame(nodes[start], nodes[end], nodes[opposite]);
    }
  return frames;
}

// F(x, y, z) = ln(x + r) + (|z|/y) [arctan(x|z|/(y r)) - arctan(x/y)], with the
// arctangent difference folded into one fast atan. The logarithm is dropped
// where x + r vanishes (on the edge line beyond its end), the arctangent term
// at the edge end and on the edge line.
template <class W>
inline W edge_integral(W x, W y, W z) {
  using simd::abs;
  using simd::fma;
  using simd::select;
  const W zero = W::set1(0.0);
  const W r = simd::sqrt(fma(x, x, fma(y, y, z * z)));
  const W xr = x + r;
  const auto direct = abs(xr) > W::set1(1e-8);
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
  const auto keep = (r > W::set1(1e-8)) & (abs(y) > W::set1(1e-300));
  const auto in_plane = (!keep) & (r > W::set1(1e-8)) & (abs(x) > zero) & (az > zero);
  const W limit = simd::any(in_plane) ? ((az - r) / x) * W::set1(0.99997726) : zero;
  return log_term + select(keep, atan_term, select(in_plane, limit, zero));
}

// (dF/dx, dF/dy, dF/dz); zero within 1e-8 of the edge line (and for a NaN y).
template <class W>
inline Vec3Lanes<W> edge_integral_gradient(W x, W y, W z) {
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
  const auto behind = (!(abs(xr_direct) > W::set1(1e-8))) & (x < W::set1(0.0));
  const W xr = simd::any(behind) ? select(behind, (yy + zz) / (r - x), xr_direct) : xr_direct;
  const W fy_2 = y / (r * xr);
  const W fy_3 = (a * (x / (yy * (xx / yy + one)) - (xa / (r * r2) + xa / (yy * r)) / (((zz * x) * x) / (yy * r2) + one))) / y;
  const W fy = (fy_1 + fy_2) + fy_3;
  // Sign of z with -0 counted negative; NaN for a NaN z.
  const W s = select(simd::isnan(z), z, simd::copysign(one, z));
  const W fz = ((zz * beta + ((a * y + (yy * beta - alpha * yy)) - zz * alpha)) / (y * (zz + yy))) * s;
  const auto valid = abs(y) > W::set1(1e-8);
  const W zero = W::set1(0.0);
  return {select(valid, fx, zero), select(valid, fy, zero), select(valid, fz, zero)};
}

// Gradient of the edge's share of phi_f at lanes of targets r.
template <class W>
inline Vec3Lanes<W> edge_potential_gradient(const EdgeFrame& e, const Vec3Lanes<W>& r) {
  const Vec3Lanes<W> local = transform(to_point(r, e.origin), e.xhat, e.yhat, e.zhat);
  const W y = local.y, z = local.z;
  const W u1 = W::set1(e.len) - local.x;  // end A
  const W u2 = -local.x;                  // end B
  const Vec3Lanes<W> g1 = edge_integral_gradient(u1, y, z);
  const Vec3Lanes<W> g2 = edge_integral_gradient(u2, y, z);
  const W gx = -y * (g1.x - g2.x);
  const W gy = (edge_integral(u1, y, z) - edge_integral(u2, y, z)) + y * (g1.y - g2.y);
  const W gz = y * (g1.z - g2.z);
  return {(W::set1(e.zhat.x) * gz + W::set1(e.xhat.x) * gx) + W::set1(e.yhat.x) * gy,
          (W::set1(e.zhat.y) * gz + W::set1(e.xhat.y) * gx) + W::set1(e.yhat.y) * gy,
          (W::set1(e.zhat.z) * gz + W::set1(e.xhat.z) * gx) + W::set1(e.yhat.z) * gy};
}

// The edge's share y (F(u1) - F(u2)) of phi_f at lanes of targets r.
template <class W>
inline W edge_potential_share(const EdgeFrame& e, const Vec3Lanes<W>& r) {
  const Vec3Lanes<W> local = transform(to_point(r, e.origin), e.xhat, e.yhat, e.zhat);
  const W u1 = W::set1(e.len) - local.x;
  const W u2 = -local.x;
  return local.y * (edge_integral(u1, local.y, local.z) - edge_integral(u2, local.y, local.z));
}

// Adds sum_f grad phi_f (x) n_f at lanes of targets: row k (w0, w1, w2) gets
// zhat * (d phi / d x_k), face by face, edge by edge.
template <class W>
inline void add_edge_tensor(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r, Vec3Lanes<W>& w0,
                            Vec3Lanes<W>& w1, Vec3Lanes<W>& w2) {
  for (const auto& face : frames.edge)
    for (const EdgeFrame& e : face) {
      const Vec3Lanes<W> g = edge_potential_gradient(e, r);
      w0 = w0 + e.zhat * g.x;
      w1 = w1 + e.zhat * g.y;
      w2 = w2 + e.zhat * g.z;
    }
}

// Adds sum_f phi_f n_f at lanes of targets.
template <class W>
inline void add_edge_potentials(const Tet4EdgeFrames& frames, const Vec3Lanes<W>& r, Vec3Lanes<W>& f) {
  for (const auto& face : frames.edge)
    for (const EdgeFrame& e : face) f = f + e.zhat * edge_potential_share(e, r);
}

// h += (M . W_k) * (-1/(4 pi)) per component k.
template <class W>
inline void add_magnetised_field(const Vec3& m, const Vec3Lanes<W>& w0, const Vec3Lanes<W>& w1,
                                 const Vec3Lanes<W>& w2, W& hx, W& hy, W& hz) {
  const W c = W::set1(-inv_4pi);
  hx = hx + dot(m, w0) * c;
  hy = hy + dot(m, w1) * c;
  hz = hz + dot(m, w2) * c;
}

// h += (J x v) * (1/(4 pi)).
template <class W>
inline void add_current_field(const Vec3& j, const Vec3Lanes<W>& v, W& hx, W& hy, W& hz) {
  const W c = W::set1(inv_4pi);
  const W jx = W::set1(j.x), jy = W::set1(j.y), jz = W::set1(j.z);
  hx = hx + (jy * v.z - jz * v.y) * c;
  hy = hy + (jz * v.x - jx * v.z) * c;
  hz = hz + (jx * v.y - jy * v.x) * c;
}

// Walks targets a vector at a time together with K workspace sequences of
// Vec3 records (one per target). Each step goes through zero-padded blocks,
// so a target's value never depends on its position or the vector width.
// body(r, h[3], ws[K]) works on lanes; only the first `count` lanes of h and
// ws are written back.
template <class W, std::size_t K, class Body>
inline void for_target_vectors_with_workspace(TargetSpan targets, OutSpan out, const std::array<Vec3*, K>& ws,
                                              Body&& body) {
  constexpr std::size_t lanes = W::lanes;
  for (std::size_t i = 0; i < targets.n; i += lanes) {
    const std::size_t count = targets.n - i < lanes ? targets.n - i : lanes;
    alignas(64) double buf[3 + 3 + 3 * K][lanes] = {};
    for (std::size_t k = 0; k < count; ++k) {
      buf[0][k] = targets.x[i + k];
      buf[1][k] = targets.y[i + k];
      buf[2][k] = targets.z[i + k];
      buf[3][k] = out.x[i + k];
      buf[4][k] = out.y[i + k];
      buf[5][k] = out.z[i + k];
      for (std::size_t w = 0; w < K; ++w) {
        buf[6 + 3 * w][k] = ws[w][i + k].x;
        buf[7 + 3 * w][k] = ws[w][i + k].y;
        buf[8 + 3 * w][k] = ws[w][i + k].z;
      }
    }
    const Vec3Lanes<W> r{W::load(buf[0]), W::load(buf[1]), W::load(buf[2])};
    W h[3] = {W::load(buf[3]), W::load(buf[4]), W::load(buf[5])};
    Vec3Lanes<W> wl[K];
    for (std::size_t w = 0; w < K; ++w) wl[w] = {W::load(buf[6 + 3 * w]), W::load(buf[7 + 3 * w]), W::load(buf[8 + 3 * w])};
    body(r, h, wl);
    for (std::size_t c = 0; c < 3; ++c) h[c].store(buf[3 + c]);
    for (std::size_t w = 0; w < K; ++w) {
      wl[w].x.store(buf[6 + 3 * w]);
      wl[w].y.store(buf[7 + 3 * w]);
      wl[w].z.store(buf[8 + 3 * w]);
    }
    for (std::size_t k = 0; k < count; ++k) {
      out.x[i + k] = buf[3][k];
      out.y[i + k] = buf[4][k];
      out.z[i + k] = buf[5][k];
      for (std::size_t w = 0; w < K; ++w) ws[w][i + k] = {buf[6 + 3 * w][k], buf[7 + 3 * w][k], buf[8 + 3 * w][k]};
    }
  }
}

// Magnetised element, edge formulation: clears the workspace (w0, w1, w2:
// one record per target, at least targets.n each), gathers the tensor of
// every target in it and adds the element's H into h.
template <class W>
inline void h_mag_tet4_edge(const std::array<Vec3, 4>& nodes, const Vec3& mvector, TargetSpan targets,
                            const std::array<Vec3*, 3>& workspace, OutSpan h) {
  const Tet4EdgeFrames frames = tet4_edge_frames(nodes);
  for_target_vectors_with_workspace<W, 3>(targets, h, workspace, [&](const Vec3Lanes<W>& r, W* hl, Vec3Lanes<W>* wl) {
    for (std::size_t k = 0; k < 3; ++k) wl[k] = Vec3Lanes<W>::zero();
    add_edge_tensor(frames, r, wl[0], wl[1], wl[2]);
    add_magnetised_field(mvector, wl[0], wl[1], wl[2], hl[0], hl[1], hl[2]);
  });
}

// Current-carrying element, edge formulation: adds sum_f phi_f n_f into the
// workspace f (one record per target; not cleared: the caller hands it in
// zeroed) and then J x f / (4 pi) into h.
template <class W>
inline void h_current_tet4_edge(const std::array<Vec3, 4>& nodes, const Vec3& jdensity, TargetSpan targets,
                                Vec3* f, OutSpan h) {
  const Tet4EdgeFrames frames = tet4_edge_frames(nodes);
  for_target_vectors_with_workspace<W, 1>(targets, h, {f}, [&](const Vec3Lanes<W>& r, W* hl, Vec3Lanes<W>* wl) {
    add_edge_potentials(frames, r, wl[0]);
    add_current_field(jdensity, wl[0], hl[0], hl[1], hl[2]);
  });
}

// Single-target forms (the octree's leaves): the contribution the edge
// kernels add into a zero output for this one target, computed as one lane
// of the same code, so they equal the vector kernels bit for bit.
inline Vec3 h_mag_tet4_edge_at(const std::array<Vec3, 4>& nodes, const Vec3& mvector, const Vec3& target) {
  using W = simd::V1;
  const Tet4EdgeFrames frames = tet4_edge_frames(nodes);
  Vec3Lanes<W> w0 = Vec3Lanes<W>::zero(), w1 = w0, w2 = w0;
  add_edge_tensor(frames, Vec3Lanes<W>::set1(target), w0, w1, w2);
  W hx = W::set1(0.0), hy = hx, hz = hx;
  add_magnetised_field(mvector, w0, w1, w2, hx, hy, hz);
  return {hx.v[0], hy.v[0], hz.v[0]};
}

inline Vec3 h_current_tet4_edge_at(const std::array<Vec3, 4>& nodes, const Vec3& jdensity, const Vec3& target) {
  using W = simd::V1;
  const Tet4EdgeFrames frames = tet4_edge_frames(nodes);
  Vec3Lanes<W> f = Vec3Lanes<W>::zero();
  add_edge_potentials(frames, Vec3Lanes<W>::set1(target), f);
  W hx = W::set1(0.0), hy = hx, hz = hx;
  add_current_field(jdensity, f, hx, hy, hz);
  return {hx.v[0], hy.v[0], hz.v[0]};
}

// Scalar primitives (one lane of the vector code).
inline double edge_integral(double x, double y, double z) {
  using W = simd::V1;
  return edge_integral(W::set1(x), W::set1(y), W::set1(z)).v[0];
}
inline Vec3 edge_integral_gradient(double x, double y, double z) {
  using W = simd::V1;
  const Vec3Lanes<W> g = edge_integral_gradient(W::set1(x), W::set1(y), W::set1(z));
  return {g.x.v[0], g.y.v[0], g.z.v[0]};
}

ZANDREL_END
