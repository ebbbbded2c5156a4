#pragma once
// The face formulation's primitives: the potential of a flat triangle of unit
// surface density, phi(r) = int dA'/|r - r'|, and its gradient, in closed form
// from the solid angle of the face (Van Oosterom-Strackee) and the
// logarithmic potentials of its edges. The magnetised and current-carrying
// tetrahedra (magnetised_tet4.hpp, current_tet4.hpp) are sums of these over
// their four faces.
//
// The lane forms are templates over the vector type W and over the Math
// policy that supplies atan2 and ln (FastMath: the specified fast functions;
// ExactMath: the library's). Every selection is a blend, so a single target
// evaluated with simd::V1 equals its lane in any vector build bit for bit; the
// scalar primitives at the end are those one-lane instances with FastMath.
//
// The guard of the solid angle's arctangent is measured in the element's
// power-of-two length unit (length_unit.hpp), so that the results depend on
// the element's shape only.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "core/kernels/length_unit.hpp"
#include "core/mesh/tet4_topology.hpp"
#include "core/simd/fastmath.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/math_policy.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// One oriented triangle: corners in traversal order, unit normal
// (b - a) x (c - a) normalised, unit edge directions (edge i from corner i to
// corner i+1 mod 3), in-plane edge normals pointing into the triangle and
// the atan2 guard of its solid angle (see solid_angle_guard).
struct Face {
  Vec3 a, b, c;
  Vec3 n_hat;
  std::array<Vec3, 3> e_hat;
  std::array<Vec3, 3> t_hat;
  double solid_angle_guard = fastmath::atan2_guard;
};

// Corners (a, b, c) of face f of an element by local node index.
inline std::array<std::size_t, 3> face_nodes(std::size_t f) { return tet4::faces[f]; }

// v / |v|, component by component; a zero vector gives NaN.
inline Vec3 normalise(const Vec3& v) { return v / mag(v); }

// The solid angle's quotient has dimension length^3 over length^3: its
// guard is fastmath::atan2_guard times the cube of the length unit of the
// element, so that it scales with the element.
inline double solid_angle_guard(double unit) { return fastmath::atan2_guard * ((unit * unit) * unit); }

inline double triangle_longest_edge(const Vec3& a, const Vec3& b, const Vec3& c) {
  return std::max(std::max(mag(b - a), mag(c - b)), mag(a - c));
}

// The length unit of a triangle on its own, from its longest edge.
inline double triangle_length_unit(const Vec3& a, const Vec3& b, const Vec3& c) {
  return length_unit(triangle_longest_edge(a, b, c));
}

// A face of an element whose length unit is `unit`.
inline Face precompute_face(const Vec3& a, const Vec3& b, const Vec3& c, double unit) {
  Face f;
  f.a = a;
  f.b = b;
  f.c = c;
  f.n_hat = normalise(cross(b - a, c - a));
  f.e_hat = {normalise(b - a), normalise(c - b), normalise(a - c)};
  for (std::size_t i = 0; i < 3; ++i) f.t_hat[i] = normalise(cross(f.n_hat, f.e_hat[i]));
  f.solid_angle_guard = solid_angle_guard(unit);
  return f;
}

// A triangle on its own.
inline Face precompute_face(const Vec3& a, const Vec3& b, const Vec3& c) {
  return precompute_face(a, b, c, triangle_length_unit(a, b, c));
}

// Solid angle of a triangle at lanes of targets, from its corners relative
// to the targets (r_i = P_i - r), their lengths and their pairwise dot
// products (Van Oosterom-Strackee). Positive behind the face as seen along
// its normal (inside a positively oriented element); `guard` from its Face.
template <class Math, class W>
inline W solid_angle_lanes(const Vec3Lanes<W>& r1, const Vec3Lanes<W>& r2, const Vec3Lanes<W>& r3, W l1, W l2,
                           W l3, W r1r2, W r1r3, W r2r3, double guard) {
  const W numerator = dot(r1, cross(r2, r3));
  const W denominator = (((l1 * l2) * l3 + r1r2 * l3) + r1r3 * l2) + r2r3 * l1;
  return W::set1(2.0) * Math::atan2(numerator, denominator, W::set1(guard));
}

// Potential integral of a straight edge of length len whose ends lie at
// distances l1 and l2 from the targets: ln((s + len) / (s - len)), s = l1 + l2.
// On the edge itself the quotient blows up; the fast ln caps it.
template <class Math, class W>
inline W edge_potential_lanes(W l1, W l2, W len) {
  const W s = l1 + l2;
  return Math::ln((s + len) / (s - len));
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

// The four faces of an element and its six edge lengths, prepared once per
// element for the target loop.
struct Tet4Faces {
  std::array<Vec3, 4> nodes;
  std::array<Face, 4> faces;
  std::array<double, 6> edge_len;
};

inline std::array<double, 6> tet4_edge_lengths(const std::array<Vec3, 4>& nodes) {
  std::array<double, 6> len;
  for (std::size_t e = 0; e < 6; ++e) len[e] = mag(nodes[tet4::edges[e][1]] - nodes[tet4::edges[e][0]]);
  return len;
}

// The length unit of an element, from its longest edge.
inline double tet4_length_unit(const std::array<double, 6>& edge_len) {
  return length_unit(*std::max_element(edge_len.begin(), edge_len.end()));
}

inline Tet4Faces tet4_faces(const std::array<Vec3, 4>& nodes) {
  Tet4Faces t;
  t.nodes = nodes;
  t.edge_len = tet4_edge_lengths(nodes);
  const double unit = tet4_length_unit(t.edge_len);
  for (std::size_t f = 0; f < 4; ++f) {
    const auto [i, j, k] = face_nodes(f);
    t.faces[f] = precompute_face(nodes[i], nodes[j], nodes[k], unit);
  }
  return t;
}

// An element ready for a face kernel: its faces and one weight per face, the
// factor the face's potential or potential gradient enters the field with.
template <class Weight>
struct Tet4FaceSource {
  Tet4Faces geometry;
  std::array<Weight, 4> weights;
};

template <class Weight, Weight (*weight_of)(const Vec3& n_hat, const Vec3& vector)>
inline Tet4FaceSource<Weight> prepare_faces(const std::array<Vec3, 4>& nodes, const Vec3& vector) {
  Tet4FaceSource<Weight> s{tet4_faces(nodes), {}};
  for (std::size_t f = 0; f < 4; ++f) s.weights[f] = weight_of(s.geometry.faces[f].n_hat, vector);
  return s;
}

// Target-dependent quantities shared by the faces of one element: node
// positions relative to the targets, their distances, the dot products of
// each pair (dot is symmetric bit for bit) and the edge potentials. Within an
// element the four vertex distances and the six edge logarithms are thus
// computed once per target; they are the same operations on the same
// operands, so the result is bit for bit that of evaluating every face on its
// own.
template <class Math, class W>
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
      const auto [u, v] = tet4::edges[e];
      pair[e] = dot(d[u], d[v]);
      edge[e] = edge_potential_lanes<Math>(l[u], l[v], W::set1(t.edge_len[e]));
    }
  }
  // Face (i, j, k) runs along the edges i-j, j-k, k-i.
  W solid_angle(std::size_t f, const Face& face) const {
    const auto [i, j, k] = tet4::faces[f];
    const auto& e = tet4::face_edge_indices[f];
    return solid_angle_lanes<Math>(d[i], d[j], d[k], l[i], l[j], l[k], pair[e[0]], pair[e[2]], pair[e[1]],
                                   face.solid_angle_guard);
  }
  std::array<W, 3> edges(std::size_t f) const {
    const auto& e = tet4::face_edge_indices[f];
    return {edge[e[0]], edge[e[1]], edge[e[2]]};
  }
};

// visit(f, face, Omega, L) for the faces f = 0 .. 3 of an element in turn,
// with the solid angle and the three edge potentials of each at lanes of
// targets r.
template <class Math, class W, class Visit>
inline void for_each_face(const Tet4Faces& geometry, const Vec3Lanes<W>& r, Visit&& visit) {
  const Tet4Lanes<Math, W> t(geometry, r);
#pragma GCC unroll 4
  for (std::size_t f = 0; f < 4; ++f) visit(f, geometry.faces[f], t.solid_angle(f, geometry.faces[f]), t.edges(f));
}

// Scalar primitives (one lane of the vector code, fast functions). A face's
// solid angle takes the face's guard (its element's unit); a bare triangle
// its own.
inline double solid_angle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& r, double guard) {
  using W = simd::V1;
  const Vec3Lanes<W> t = Vec3Lanes<W>::set1(r);
  const Vec3Lanes<W> r1 = from_point(a, t), r2 = from_point(b, t), r3 = from_point(c, t);
  return solid_angle_lanes<FastMath>(r1, r2, r3, mag(r1), mag(r2), mag(r3), dot(r1, r2), dot(r1, r3), dot(r2, r3),
                                     guard)
      .v[0];
}

inline double solid_angle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& r) {
  return solid_angle(a, b, c, r, solid_angle_guard(triangle_length_unit(a, b, c)));
}

inline double edge_potential(const Vec3& r1, const Vec3& r2, const Vec3& r) {
  using W = simd::V1;
  return edge_potential_lanes<FastMath>(W::set1(mag(r1 - r)), W::set1(mag(r2 - r)), W::set1(mag(r2 - r1))).v[0];
}

// The solid angle and the three edge potentials of a face at one target.
inline std::array<double, 4> face_angle_and_edges(const Face& face, const Vec3& r) {
  return {solid_angle(face.a, face.b, face.c, r, face.solid_angle_guard), edge_potential(face.a, face.b, r), edge_potential(face.b, face.c, r),
          edge_potential(face.c, face.a, r)};
}

inline Vec3 charge_potential_gradient(const Face& face, const Vec3& r) {
  using W = simd::V1;
  const auto [omega, l0, l1, l2] = face_angle_and_edges(face, r);
  return first_lane(charge_potential_gradient_lanes(face, W::set1(omega), {W::set1(l0), W::set1(l1), W::set1(l2)}));
}

inline double charge_potential(const Face& face, const Vec3& r) {
  using W = simd::V1;
  const auto [omega, l0, l1, l2] = face_angle_and_edges(face, r);
  return charge_potential_lanes(face, Vec3Lanes<W>::set1(r), W::set1(omega), {W::set1(l0), W::set1(l1), W::set1(l2)})
      .v[0];
}

ZANDREL_END
