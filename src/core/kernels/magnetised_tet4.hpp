#pragma once
// Uniformly magnetised tetrahedron. A uniform magnetisation M is equivalent
// to the surface charge sigma_f = M . n_f on the four faces (no volume
// charge), so
//   H = -grad phi,  phi(r) = sum_f (M . n_f) / (4 pi) int_f dA' / |r - r'|.
// Two closed forms of it, both source kinds of the same element:
//   MagnetisedTet4Face<Math>  the face formulation (solid angles and edge
//                             logarithms, tet4_faces.hpp): per face
//                             H += (n_f . M)(-1/(4 pi)) grad phi_f;
//   MagnetisedTet4Edge        the edge formulation (tet4_edges.hpp): the
//                             tensor sum_f grad phi_f (x) n_f gathered over
//                             the twelve edges, then contracted with M.
// Far from the element (an octree branch of many) the aggregated moment
// sum M V acts as a point dipole.
#include <array>
#include <cstddef>

#include "core/constants.hpp"
#include "core/kernels/point_dipole.hpp"
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

// Magnetised element ready for the face kernel: per face the weight
// q_f = (n_f . M) (-1/(4 pi)) of its potential gradient.
inline double face_charge_weight(const Vec3& n_hat, const Vec3& mvector) { return dot(n_hat, mvector) * -inv_4pi; }
using MagTet4 = Tet4FaceSource<double>;
inline MagTet4 prepare_mag_tet4(const std::array<Vec3, 4>& nodes, const Vec3& mvector) {
  return prepare_faces<double, face_charge_weight>(nodes, mvector);
}

template <class Math = FastMath>
struct MagnetisedTet4Face : Tet4Kind<MagTet4, prepare_mag_tet4> {
  // H += q_f grad phi_f, face by face (faces 0 .. 3).
  template <class W>
  static void add_field(const MagTet4& m, const Vec3Lanes<W>& r, Vec3Lanes<W>& h) {
    for_each_face<Math>(m.geometry, r, [&](std::size_t f, const Face& face, W omega, const std::array<W, 3>& l) {
      const Vec3Lanes<W> g = charge_potential_gradient_lanes(face, omega, l);
      const W q = W::set1(m.weights[f]);
      h = {h.x + g.x * q, h.y + g.y * q, h.z + g.z * q};
    });
  }
};

struct MagnetisedTet4Edge : Tet4Kind<Tet4EdgeSource, prepare_edges> {
  // The tensor sum_f grad phi_f (x) n_f (rows w0, w1, w2) gathered from zero,
  // then h += (M . w_k) (-1/(4 pi)) per component k: M is applied once per
  // target instead of once per face.
  template <class W>
  static void add_field(const Tet4EdgeSource& m, const Vec3Lanes<W>& r, Vec3Lanes<W>& h) {
    Vec3Lanes<W> w0 = Vec3Lanes<W>::zero(), w1 = w0, w2 = w0;
    add_edge_tensor(m.frames, r, w0, w1, w2);
    const W c = W::set1(-inv_4pi);
    h = {h.x + dot(m.vector, w0) * c, h.y + dot(m.vector, w1) * c, h.z + dot(m.vector, w2) * c};
  }

  template <class W>
  static Vec3Lanes<W> far_field(const Vec3& centroid, const Vec3& moment, const Vec3Lanes<W>& t) {
    return PointDipole::far_field(centroid, moment, t);
  }
};

// The edge kernel's field of one element at one target (one lane, from zero).
inline Vec3 h_mag_tet4_edge_at(const std::array<Vec3, 4>& nodes, const Vec3& mvector, const Vec3& target) {
  return single_target_field<MagnetisedTet4Edge>(prepare_edges(nodes, mvector), target);
}

ZANDREL_END
