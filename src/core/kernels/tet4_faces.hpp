#pragma once
// The face formulation's primitives: the potential of a flat triangle of unit
// surface density, phi(r) = int dA'/|r - r'|, and its gradient, in closed form
// from the solid angle of the face (Van Oosterom-Strackee) and the
// logarithmic potentials of its edges. The magnetised and current-carrying
// tetrahedra (magnetised_tet4.hpp, current_tet4.hpp) are sums of these over
// their four faces.
//
// The lane forms are templates over the vector type W and over the Math
// policy that supplies atan2 and ln (FastMath: the documented fast functions;
// ExactMath: the library's). Every selection is a blend, so a single target
// evaluated with simd::V1 equals its lane in any vector build bit for bit; the
// scalar primitives at the end are those one-lane instances with FastMath.
//
// The guard of the solid angle's arctangent is measured in the element's
// power-of-two length unit (length_unit.hpp), so that the results depend on
// the element's shape only; targets in the plane of a face take the
// principal value there, decided alike by every element that has the face
// (incidence.hpp).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "core/kernels/incidence.hpp"
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
// corner i+1 mod 3), in-plane edge normals pointing into the triangle, the
// atan2 guard of its solid angle (see solid_angle_guard), the bound on the
// solid angle's numerator below which a target may lie within rounding of
// the triangle's plane (see near_plane_bound) and the lexicographic order
// of its corners (incidence.hpp).
struct Face {
  Vec3 a, b, c;
  Vec3 n_hat;
  std::array<Vec3, 3> e_hat;
  std::array<Vec3, 3> t_hat;
  double solid_angle_guard = fastmath::atan2_guard;
  double near_plane = 0.0;
  CornerOrder corner_order;
};

// A solid-angle numerator within this many guards of zero, with a
// denominator as small, is a rounding residue (see solid_angle_near_plane).
inline constexpr double residue_guards = 64.0;
// The numerator's rounding error is below 3 units in the last place of
// l1 l2 l3: beyond this multiple of the plane's tolerance its sign is right.
inline constexpr double numerator_tolerance = 4.0 * incidence_tolerance;

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

// Targets whose solid-angle numerator is at most numerator_tolerance
// l1 l2 l3 plus this may lie within rounding of the plane of the triangle
// (a, b, c), or have both arguments of the arctangent within residue_guards
// guards of zero. Near a corner the numerator is at most the distance to the
// corner times twice the area: a corner within rounding is within the
// tolerance times the longest edge (plus that distance).
inline double near_plane_bound(const Vec3& a, const Vec3& b, const Vec3& c, double guard) {
  return (numerator_tolerance * triangle_longest_edge(a, b, c)) * mag(cross(b - a, c - a)) + residue_guards * guard;
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
  f.near_plane = near_plane_bound(a, b, c, f.solid_angle_guard);
  f.corner_order = lexicographic_order(a, b, c);
  return f;
}

// A triangle on its own.
inline Face precompute_face(const Vec3& a, const Vec3& b, const Vec3& c) {
  return precompute_face(a, b, c, triangle_length_unit(a, b, c));
}

// Solid angle of a triangle from its corners relative to the targets
// (r_i = P_i - r), their lengths and their pairwise dot products (Van
// Oosterom-Strackee): Omega = 2 atan2(N, D). Positive behind the face as
// seen along its normal (inside a positively oriented element).
template <class W>
inline W solid_angle_numerator(const Vec3Lanes<W>& r1, const Vec3Lanes<W>& r2, const Vec3Lanes<W>& r3) {
  return dot(r1, cross(r2, r3));
}
template <class W>
inline W solid_angle_denominator(W l1, W l2, W l3, W r1r2, W r1r3, W r2r3) {
  return ((((l1 * l2) * l3) + r1r2 * l3) + r1r3 * l2) + r2r3 * l1;
}
// For targets off the plane of the triangle (see solid_angle_lanes).
template <class Math, class W>
inline W solid_angle_off_plane(const Vec3Lanes<W>& r1, const Vec3Lanes<W>& r2, const Vec3Lanes<W>& r3, W l1, W l2,
                               W l3, W r1r2, W r1r3, W r2r3, double guard) {
  return W::set1(2.0) * Math::atan2(solid_angle_numerator(r1, r2, r3),
                                    solid_angle_denominator(l1, l2, l3, r1r2, r1r3, r2r3), W::set1(guard));
}

// Targets that may need solid_angle_near_plane: the numerator at most
// numerator_tolerance l1 l2 l3 plus the face's `near_plane`
// (near_plane_bound). In the plane the sign of the numerator is that of a
// rounding residue; outside that bound its sign is right, and the test in
// lexicographic order can only agree.
template <class W>
inline typename W::mask may_be_near_plane(W numerator, W l1, W l2, W l3, double near_plane) {
  return simd::abs(numerator) <= ((l1 * l2) * l3) * W::set1(numerator_tolerance) + W::set1(near_plane);
}

// The solid angle at lanes of targets that may lie within rounding of the
// triangle's plane, given its value `omega` as computed off the plane; other
// lanes keep it. Kept out of line: it is rarely needed.
// - Both arguments of the arctangent within residue_guards guards of zero
//   (not both zero): they are rounding residues of the scale of the triangle
//   (a target within rounding of the line of an edge, or of a corner). The
//   guard, added to the signed denominator, would break the symmetry
//   atan2(-y, x) = -atan2(y, x) by which the two elements that share a face
//   cancel, and can cancel a negative denominator and leave a quotient far
//   outside [-1, 1] (the fast polynomial gives -5e18 at 75): the quotient is
//   taken without it.
// - In the plane of the triangle (incidence.hpp, within rounding of a corner
//   included): the principal value 0, the mean of the limits from either
//   side (+-2 pi inside the triangle, +-pi on its edges). The two elements
//   that share a face then cancel there as they do off the plane, and a
//   target on the outer surface of a body gets the mean of the fields inside
//   and outside. Decided on the corners in lexicographic order, so that both
//   elements decide alike.
template <class Math, class W>
[[gnu::noinline]] W solid_angle_near_plane(W omega, const Vec3Lanes<W>& r1, const Vec3Lanes<W>& r2,
                                           const Vec3Lanes<W>& r3, W l1, W l2, W l3, W r1r2, W r1r3, W r2r3,
                                           double guard, const CornerOrder& order) {
  const W numerator = solid_angle_numerator(r1, r2, r3);
  const W denominator = solid_angle_denominator(l1, l2, l3, r1r2, r1r3, r2r3);
  const W an = simd::abs(numerator), ad = simd::abs(denominator);
  const W larger = simd::select(an < ad, ad, an);
  const W zero = W::set1(0.0);
  const auto residue = (larger < W::set1(residue_guards * guard)) & (larger > zero);
  omega = simd::select(residue, W::set1(2.0) * Math::atan2(numerator, denominator, zero), omega);
  const std::array<const Vec3Lanes<W>*, 3> r = {&r1, &r2, &r3};
  const std::array<W, 3> l = {l1, l2, l3};
  const auto& i = order.index;
  const W triple = triple_product<W>({*r[i[0]], *r[i[1]], *r[i[2]]});
  return simd::select(in_plane<W>(triple, {l[i[0]], l[i[1]], l[i[2]]}), zero, omega);
}

// Solid angle of one triangle at lanes of targets (see above); `guard`,
// `near_plane` and `order` from its Face.
template <class Math, class W>
inline W solid_angle_lanes(const Vec3Lanes<W>& r1, const Vec3Lanes<W>& r2, const Vec3Lanes<W>& r3, W l1, W l2,
                           W l3, W r1r2, W r1r3, W r2r3, double guard, double near_plane, const CornerOrder& order) {
  const W omega = solid_angle_off_plane<Math>(r1, r2, r3, l1, l2, l3, r1r2, r1r3, r2r3, guard);
  if (simd::any(may_be_near_plane(solid_angle_numerator(r1, r2, r3), l1, l2, l3, near_plane))) [[unlikely]]
    return solid_angle_near_plane<Math>(omega, r1, r2, r3, l1, l2, l3, r1r2, r1r3, r2r3, guard, order);
  return omega;
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
  // Face (i, j, k) runs along the edges i-j, j-k, k-i. Its solid angle:
  // with `near_plane` that of solid_angle_lanes, else the targets are taken
  // to lie off its plane.
  template <bool near_plane>
  W solid_angle(std::size_t f, const Face& face) const {
    const auto [i, j, k] = tet4::faces[f];
    const auto& e = tet4::face_edge_indices[f];
    if constexpr (near_plane)
      return solid_angle_lanes<Math>(d[i], d[j], d[k], l[i], l[j], l[k], pair[e[0]], pair[e[2]], pair[e[1]],
                                     face.solid_angle_guard, face.near_plane, face.corner_order);
    else
      return solid_angle_off_plane<Math>(d[i], d[j], d[k], l[i], l[j], l[k], pair[e[0]], pair[e[2]], pair[e[1]],
                                         face.solid_angle_guard);
  }
  // Whether some target lies near the plane of some face.
  bool near_a_plane(const std::array<Face, 4>& faces) const {
    typename W::mask near{};
#pragma GCC unroll 4
    for (std::size_t f = 0; f < 4; ++f) {
      const auto [i, j, k] = tet4::faces[f];
      near = near | may_be_near_plane(solid_angle_numerator(d[i], d[j], d[k]), l[i], l[j], l[k], faces[f].near_plane);
    }
    return simd::any(near);
  }
  std::array<W, 3> edges(std::size_t f) const {
    const auto& e = tet4::face_edge_indices[f];
    return {edge[e[0]], edge[e[1]], edge[e[2]]};
  }
};

// visit(f, face, Omega, L) for the faces f = 0 .. 3 in turn, the solid
// angles those of Tet4Lanes::solid_angle<near_plane>.
template <bool near_plane, class Math, class W, class Visit>
inline void visit_faces(const Tet4Faces& geometry, const Tet4Lanes<Math, W>& t, Visit& visit) {
#pragma GCC unroll 4
  for (std::size_t f = 0; f < 4; ++f)
    visit(f, geometry.faces[f], t.template solid_angle<near_plane>(f, geometry.faces[f]), t.edges(f));
}

// The element at lanes of which some lie near the plane of a face: kept out
// of line, so that the common case keeps its registers.
template <class Math, class W, class Visit>
[[gnu::noinline]] void visit_faces_near_plane(const Tet4Faces& geometry, const Vec3Lanes<W>& r, Visit& visit) {
  visit_faces<true>(geometry, Tet4Lanes<Math, W>(geometry, r), visit);
}

// visit(f, face, Omega, L) for the faces f = 0 .. 3 of an element in turn,
// with the solid angle and the three edge potentials of each at lanes of
// targets r.
template <class Math, class W, class Visit>
inline void for_each_face(const Tet4Faces& geometry, const Vec3Lanes<W>& r, Visit&& visit) {
  const Tet4Lanes<Math, W> t(geometry, r);
  if (t.near_a_plane(geometry.faces)) [[unlikely]]
    visit_faces_near_plane<Math>(geometry, r, visit);
  else
    visit_faces<false>(geometry, t, visit);
}

// Scalar primitives (one lane of the vector code, fast functions). A face's
// solid angle takes the face's guard (its element's unit); a bare triangle
// its own.
inline double solid_angle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& r, double guard) {
  using W = simd::V1;
  const Vec3Lanes<W> t = Vec3Lanes<W>::set1(r);
  const Vec3Lanes<W> r1 = from_point(a, t), r2 = from_point(b, t), r3 = from_point(c, t);
  return solid_angle_lanes<FastMath>(r1, r2, r3, mag(r1), mag(r2), mag(r3), dot(r1, r2), dot(r1, r3), dot(r2, r3),
                                     guard, near_plane_bound(a, b, c, guard), lexicographic_order(a, b, c))
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
