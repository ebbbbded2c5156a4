#pragma once
// Tetrahedron carrying a uniform current density J. By the gradient theorem
// its Biot-Savart volume integral reduces to the faces,
//   H(r) = sum_f (J x n_f) / (4 pi) int_f dA' / |r - r'|.
// Two closed forms of it, both source kinds of the same element:
//   CurrentTet4Face<Math>  the face formulation (tet4_faces.hpp): per face
//                          H += phi_f (J x n_f) / (4 pi);
//   CurrentTet4Edge        the edge formulation (tet4_edges.hpp): the vector
//                          sum_f phi_f n_f gathered over the twelve edges,
//                          then H += J x (that) / (4 pi).
// Far from the element (an octree branch of many) the aggregated element
// sum J V acts as a point current element.
#include <array>
#include <cstddef>

#include "core/constants.hpp"
#include "core/kernels/point_current.hpp"
#include "core/kernels/source_kind.hpp"
#include "core/kernels/source_views.hpp"
#include "core/kernels/tet4_edges.hpp"
#include "core/kernels/tet4_element.hpp"
#include "core/kernels/tet4_faces.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/math_policy.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Current-carrying element ready for the face kernel: per face the weight
// w_f = (J x n_f) / (4 pi) of its potential.
inline Vec3 face_current_weight(const Vec3& n_hat, const Vec3& jdensity) { return cross(jdensity, n_hat) * inv_4pi; }
using CurrentTet4 = Tet4FaceSource<Vec3>;
inline CurrentTet4 prepare_current_tet4(const std::array<Vec3, 4>& nodes, const Vec3& jdensity) {
  return prepare_faces<Vec3, face_current_weight>(nodes, jdensity);
}

template <class Math = FastMath>
struct CurrentTet4Face : Tet4Kind<CurrentTet4, prepare_current_tet4> {
  // H += phi_f w_f, face by face (faces 0 .. 3).
  template <class W>
  static void add_field(const CurrentTet4& c, const Vec3Lanes<W>& r, Vec3Lanes<W>& h) {
    for_each_face<Math>(c.geometry, r, [&](std::size_t f, const Face& face, W omega, const std::array<W, 3>& l) {
      const W p = charge_potential_lanes(face, r, omega, l);
      const Vec3& w = c.weights[f];
      h = {h.x + p * W::set1(w.x), h.y + p * W::set1(w.y), h.z + p * W::set1(w.z)};
    });
  }
};

// Current-carrying element, edge formulation.
struct CurrentTet4Edge : Tet4Kind<Tet4EdgeSource, prepare_edges> {
  // v = sum_f phi_f n_f gathered from zero, then h += (J x v) (1/(4 pi)).
  template <class W>
  static void add_field(const Tet4EdgeSource& c, const Vec3Lanes<W>& r, Vec3Lanes<W>& h) {
    Vec3Lanes<W> v = Vec3Lanes<W>::zero();
    add_edge_potentials(c.frames, r, v);
    const W k = W::set1(inv_4pi);
    const Vec3Lanes<W> j = Vec3Lanes<W>::set1(c.vector);
    h = {h.x + (j.y * v.z - j.z * v.y) * k, h.y + (j.z * v.x - j.x * v.z) * k, h.z + (j.x * v.y - j.y * v.x) * k};
  }

  template <class W>
  static Vec3Lanes<W> far_field(const Vec3& centroid, const Vec3& vj, const Vec3Lanes<W>& t) {
    return PointCurrentElement<SeparateArithmetic>::far_field(centroid, vj, t);
  }
};

// The edge kernel's field of one element at one target (one lane, from zero).
inline Vec3 h_current_tet4_edge_at(const std::array<Vec3, 4>& nodes, const Vec3& jdensity, const Vec3& target) {
  return single_target_field<CurrentTet4Edge>(prepare_edges(nodes, jdensity), target);
}

ZANDREL_END
