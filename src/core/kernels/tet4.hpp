#pragma once
// Closed-form fields of a tetrahedron in the face formulation.
//
// Magnetised: a uniform magnetisation M is equivalent to the surface charge
// sigma_f = M . n_f on the four faces (no volume charge), so
//   H = -grad phi,  phi(r) = sum_f sigma_f / (4 pi) int_f dA' / |r - r'|.
// Current-carrying: for a uniform current density J the Biot-Savart volume
// integral reduces by the gradient theorem to the faces,
//   H = sum_f (J x n_f) / (4 pi) int_f dA' / |r - r'|.
// Both need the potential of a flat triangle of unit density and its
// gradient, built from the solid angle of the face (Van Oosterom-Strackee)
// and the logarithmic potentials of its edges.
//
// The target loop is a template over the vector type W: per-face quantities
// are prepared once per element and broadcast, every selection is a blend.
// Within an element the four vertex distances and the six edge logarithms
// are computed once per target and shared by the faces that meet there;
// they are the same operations on the same operands, so the result is bit
// for bit that of evaluating every face on its own.
#include <array>
#include <cmath>
#include <cstddef>

#include "core/simd/fastmath.hpp"
#include "core/simd/isa.hpp"
#include "core/dispatch/kernel_api.hpp"
#include "core/kernels/point.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/target_loop.hpp"
#include "core/vec3.hpp"
#include "core/simd/vec3_lanes.hpp"

ZANDREL_BEGIN

// One oriented triangle: corners in traversal order, unit normal
// (b - a) x (c - a) normalised, unit edge directions (edge i from corner i to
// corner i+1 mod 3) and in-plane edge normals pointing into the triangle.
struct Face {
  Vec3 a, b, c;
  Vec3 n_hat;
  std::array<Vec3, 3> e_hat;
  std::array<Vec3, 3> t_hat;
};

// Corners (a, b, c) of the four faces by local node index; for a positively
// oriented element (node 3 on the side of (n1 - n0) x (n2 - n0)) every normal
// points outwards. The opposite nodes are 3, 1, 0, 2.
inline constexpr std::array<std::array<std::size_t, 3>, 4> tet4_face_table = {{
    {{0, 2, 1}},
    {{0, 3, 2}},
    {{1, 2, 3}},
    {{0, 1, 3}},
}};

inline std::array<std::size_t, 3> face_nodes(std::size_t f) { return tet4_face_table[f]; }

// The six edges of a tetrahedron as node pairs, and for every face the edge
// that each of its three sides runs along.
inline constexpr std::array<std::array<std::size_t, 2>, 6> tet4_edges = {{
    {{0, 1}}, {{0, 2}}, {{0, 3}}, {{1, 2}}, {{1, 3}}, {{2, 3}},
}};
inline constexpr std::array<std::array<std::size_t, 3>, 4> tet4_face_edges = {{
    {{1, 3, 0}},  // 0-2, 2-1, 1-0
    {{2, 5, 1}},  // 0-3, 3-2, 2-0
    {{3, 5, 4}},  // 1-2, 2-3, 3-1
    {{0, 4, 2}},  // 0-1, 1-3, 3-0
}};

// v / |v|, component by component; a zero vector gives NaN.
inline Vec3 normalise(const Vec3& v) { return v / mag(v); }

inline Face precompute_face(const Vec3& a, const Vec3& b, const Vec3& c) {
  Face f;
  f.a = a;
  f.b = b;
  f.c = c;
  f.n_hat = normalise(cross(b - a, c - a));
  f.e_hat = {normalise(b - a), normalise(c - b), normalise(a - c)};
  for (std::size_t i = 0; i < 3; ++i) f.t_hat[i] = normalise(cross(f.n_hat, f.e_hat[i]));
  return f;
}

// Solid angle of a triangle at lanes of targets, from its corners relative
// to the targets (r_i = P_i - r), their lengths and their pairwise dot
// products (Van Oosterom-Strackee). Positive behind the face as seen along
// its normal (inside a positively oriented element).
template <class W>
inline W solid_angle_lanes(const Vec3Lanes<W>& r1, const Vec3Lanes<W>& r2, const Vec3Lanes<W>& r3, W l1, W l2,
                           W l3, W r1r2, W r1r3, W r2r3) {
  const W numerator = dot(r1, cross(r2, r3));
  const W denominator = (((l1 * l2) * l3 + r1r2 * l3) + r1r3 * l2) + r2r3 * l1;
  return W::set1(2.0) * fastmath::atan2(numerator, denominator);
}

// Potential integral of a straight edge of length len whose ends lie at
// distances l1 and l2 from the targets: ln((s + len) / (s - len)), s = l1 + l2.
// On the edge itself the quotient blows up and the fast ln caps it.
template <class W>
inline W edge_potential_lanes(W l1, W l2, W len) {
  const W s = l1 + l2;
  return fastmath::ln((s + len) / (s - len));
}

// Gradient of the face potential from its solid angle and edge potentials:
// n Omega + n x (sum_i e_i L_i).
template <class W>
inline Vec3Lanes<W> charge_potential_gradient_lanes(const Face& face, W omega, const std::array<W, 3>& l) {
  const Vec3Lanes<W> s = (face.e_hat[0] * l[0] + face.e_hat[1] * l[1]) + face.e_hat[2] * l[2];
  const Vec3Lanes<W> n = Vec3Lanes<W>::set1(face.n_hat);
  const Vec3Lanes<W> nxs = cross(n, s);
  return {n.x * omega + nxs.x, n.y * omega + nxs.y, n.z * omega + nxs.z};
}

// Face potential for unit density: height * Omega + sum_i d_i L_i, with d_i
// the signed in-plane distance of the target from edge i.
template <class W>
inline W charge_potential_lanes(const Face& face, const Vec3Lanes<W>& r, W omega, const std::array<W, 3>& l) {
  const std::array<const Vec3*, 3> corner = {&face.a, &face.b, &face.c};
  W phi = dot(face.n_hat, to_point(r, face.a)) * omega;
  for (std::size_t i = 0; i < 3; ++i) phi = phi + dot(face.t_hat[i], to_point(r, *corner[i])) * l[i];
  return phi;
}

// Per-element quantities of the face kernels, prepared once per element.
struct Tet4Faces {
  std::array<Vec3, 4> nodes;
  std::array<Face, 4> faces;
  std::array<double, 6> edge_len;
};

inline Tet4Faces tet4_faces(const std::array<Vec3, 4>& nodes) {
  Tet4Faces t;
  t.nodes = nodes;
  for (std::size_t f = 0; f < 4; ++f) {
    const auto [i, j, k] = face_nodes(f);
    t.faces[f] = precompute_face(nodes[i], nodes[j], nodes[k]);
  }
  for (std::size_t e = 0; e < 6; ++e) t.edge_len[e] = mag(nodes[tet4_edges[e][1]] - nodes[tet4_edges[e][0]]);
  return t;
}

// Target-dependent quantities shared by the faces of one element: node
// positions relative to the targets, their distances, the dot products of
// each pair (dot is symmetric bit for bit) and the edge potentials.
template <class W>
struct Tet4Lanes {
  std::array<Vec3Lanes<W>, 4> d;
  std::array<W, 4> l;
  std::array<W, 6> pair;
  std::array<W, 6> edge;

  Tet4Lanes(const Tet4Faces& t, const Vec3Lanes<W>& r) {
    // Fully unrolled, so that the arrays live in registers.
#pragma GCC unroll 4
    for (std::size_t k = 0; k < 4; ++k) {
      d[k] = from_point(t.nodes[k], r);
      l[k] = mag(d[k]);
    }
#pragma GCC unroll 6
    for (std::size_t e = 0; e < 6; ++e) {
      const auto [u, v] = tet4_edges[e];
      pair[e] = dot(d[u], d[v]);
      edge[e] = edge_potential_lanes(l[u], l[v], W::set1(t.edge_len[e]));
    }
  }
  // Face (i, j, k) runs along the edges i-j, j-k, k-i.
  W solid_angle(std::size_t f) const {
    const auto [i, j, k] = tet4_face_table[f];
    const auto& e = tet4_face_edges[f];
    return solid_angle_lanes(d[i], d[j], d[k], l[i], l[j], l[k], pair[e[0]], pair[e[2]], pair[e[1]]);
  }
  std::array<W, 3> edges(std::size_t f) const {
    const auto& e = tet4_face_edges[f];
    return {edge[e[0]], edge[e[1]], edge[e[2]]};
  }
};

// Magnetised element ready for the target loop: q_f = (n_f . M) (-1/(4 pi)).
struct MagTet4 {
  Tet4Faces geometry;
  std::array<double, 4> q;
};

inline MagTet4 prepare_mag_tet4(const std::array<Vec3, 4>& nodes, const Vec3& mvector) {
  MagTet4 m{tet4_faces(nodes), {}};
  for (std::size_t f = 0; f < 4; ++f) m.q[f] = dot(m.geometry.faces[f].n_hat, mvector) * -inv_4pi;
  return m;
}

// Current-carrying element ready for the target loop: w_f = (J x n_f) / (4 pi).
struct CurrentTet4 {
  Tet4Faces geometry;
  std::array<Vec3, 4> w;
};

inline CurrentTet4 prepare_current_tet4(const std::array<Vec3, 4>& nodes, const Vec3& jdensity) {
  CurrentTet4 c{tet4_faces(nodes), {}};
  for (std::size_t f = 0; f < 4; ++f) c.w[f] = cross(jdensity, c.geometry.faces[f].n_hat) * inv_4pi;
  return c;
}

// Adds the element's H at lanes of targets, face by face (faces 0..3).
template <class W>
inline void h_mag_tet4_lanes(const MagTet4& m, const Vec3Lanes<W>& r, W& hx, W& hy, W& hz) {
  const Tet4Lanes<W> t(m.geometry, r);
#pragma GCC unroll 4
  for (std::size_t f = 0; f < 4; ++f) {
    const Vec3Lanes<W> g = charge_potential_gradient_lanes(m.geometry.faces[f], t.solid_angle(f), t.edges(f));
    const W q = W::set1(m.q[f]);
    hx = hx + g.x * q;
    hy = hy + g.y * q;
    hz = hz + g.z * q;
  }
}

template <class W>
inline void h_current_tet4_lanes(const CurrentTet4& c, const Vec3Lanes<W>& r, W& hx, W& hy, W& hz) {
  const Tet4Lanes<W> t(c.geometry, r);
#pragma GCC unroll 4
  for (std::size_t f = 0; f < 4; ++f) {
    const W p = charge_potential_lanes(c.geometry.faces[f], r, t.solid_angle(f), t.edges(f));
    hx = hx + p * W::set1(c.w[f].x);
    hy = hy + p * W::set1(c.w[f].y);
    hz = hz + p * W::set1(c.w[f].z);
  }
}

// One element added into a span of targets (never clears out).
template <class W>
inline void h_mag_tet4(const std::array<Vec3, 4>& nodes, const Vec3& mvector, TargetSpan targets, OutSpan out) {
  const MagTet4 m = prepare_mag_tet4(nodes, mvector);
  for_target_vectors<W>(targets, out, [&](W tx, W ty, W tz, W& hx, W& hy, W& hz) {
    h_mag_tet4_lanes(m, Vec3Lanes<W>{tx, ty, tz}, hx, hy, hz);
  });
}

template <class W>
inline void h_current_tet4(const std::array<Vec3, 4>& nodes, const Vec3& jdensity, TargetSpan targets,
                           OutSpan out) {
  const CurrentTet4 c = prepare_current_tet4(nodes, jdensity);
  for_target_vectors<W>(targets, out, [&](W tx, W ty, W tz, W& hx, W& hy, W& hz) {
    h_current_tet4_lanes(c, Vec3Lanes<W>{tx, ty, tz}, hx, hy, hz);
  });
}

// Scalar primitives (one lane of the vector code).
inline double solid_angle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& r) {
  using W = simd::V1;
  const Vec3Lanes<W> t = Vec3Lanes<W>::set1(r);
  const Vec3Lanes<W> r1 = from_point(a, t), r2 = from_point(b, t), r3 = from_point(c, t);
  return solid_angle_lanes(r1, r2, r3, mag(r1), mag(r2), mag(r3), dot(r1, r2), dot(r1, r3), dot(r2, r3)).v[0];
}

inline double edge_potential(const Vec3& r1, const Vec3& r2, const Vec3& r) {
  using W = simd::V1;
  return edge_potential_lanes(W::set1(mag(r1 - r)), W::set1(mag(r2 - r)), W::set1(mag(r2 - r1))).v[0];
}

inline Vec3 charge_potential_gradient(const Face& face, const Vec3& r) {
  using W = simd::V1;
  const std::array<W, 3> l = {W::set1(edge_potential(face.a, face.b, r)), W::set1(edge_potential(face.b, face.c, r)),
                              W::set1(edge_potential(face.c, face.a, r))};
  const Vec3Lanes<W> g =
      charge_potential_gradient_lanes(face, W::set1(solid_angle(face.a, face.b, face.c, r)), l);
  return {g.x.v[0], g.y.v[0], g.z.v[0]};
}

inline double charge_potential(const Face& face, const Vec3& r) {
  using W = simd::V1;
  const std::array<W, 3> l = {W::set1(edge_potential(face.a, face.b, r)), W::set1(edge_potential(face.b, face.c, r)),
                              W::set1(edge_potential(face.c, face.a, r))};
  return charge_potential_lanes(face, Vec3Lanes<W>::set1(r), W::set1(solid_angle(face.a, face.b, face.c, r)), l)
      .v[0];
}

ZANDREL_END
