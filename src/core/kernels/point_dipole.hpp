#pragma once
// Point dipole: a small uniformly magnetised volume seen as a dipole of moment
// m = M V at its centroid. Inside the sphere of its volume (radius
// (3 V / (4 pi))^(1/3)) the field is the uniform -M/3 of a magnetised sphere,
// so that targets on or near a source stay finite.
//
//   h_point_dipole   one dipole at one target (the one-lane instance)
//   PointDipole      the source kind: per-source preparation, the lane
//                    kernel of the direct sums and octree leaves, and the far
//                    field of an aggregated moment (an octree branch)
#include <cmath>
#include <cstddef>

#include "core/constants.hpp"
#include "core/kernels/source_views.hpp"
#include "core/simd/float_lanes.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Uniform field -M/3 inside a uniformly magnetised sphere of the given radius
// and moment: moment * (3 / (4 pi r^3)) * (-1/3), component by component.
inline Vec3 dipole_core_field(const Vec3& moment, double radius) {
  const double f = 3.0 / (four_pi * (radius * radius * radius));
  return {(moment.x * f) * minus_one_third, (moment.y * f) * minus_one_third, (moment.z * f) * minus_one_third};
}

// Radius of the sphere of volume v as the direct dipole sum forms it:
// cbrt((3 v) / (4 pi)), negative for a negative v. (The octree's point sets
// form it with the general power function, sphere_radius in point_current.hpp;
// both forms are documented and kept.)
inline double dipole_radius(double volume) { return std::cbrt((3.0 * volume) / four_pi); }

struct PointDipole {
  // One dipole as the target loop reads it.
  struct Source {
    Vec3 position;
    Vec3 moment;
    double radius = 0.0;
  };
  using Sources = PointColumns;  // vx, vy, vz: the moments
  static constexpr std::size_t sources_per_block = 128;
  // Two target vectors per pass share each source's broadcasts.
  static constexpr std::size_t target_vectors_per_pass = 2;

  static Source prepare(const PointColumns& s, std::size_t i) {
    return {{s.x[i], s.y[i], s.z[i]}, {s.vx[i], s.vy[i], s.vz[i]}, s.radius[i]};
  }

  // Field at lanes of targets t of a dipole at `position`:
  //   H = (r^ (3 m . r^) - m) / (4 pi |r|^3),  r = t - position,
  // and the core field where |r| <= radius (a NaN distance counts as
  // outside; radius 0 gives the plain dipole, non-finite at the centroid).
  template <class W>
  static Vec3Lanes<W> field(const Vec3& position, const Vec3& moment, double radius, const Vec3Lanes<W>& t) {
    const Vec3Lanes<W> r = to_point(t, position);
    const W rmag = simd::sqrt((r.x * r.x + r.y * r.y) + r.z * r.z);
    Vec3Lanes<W> h = plain_field(r, rmag, Vec3Lanes<W>::set1(moment));
    // Targets within the equivalent radius are rare: the core field is formed
    // and blended only when one is.
    const auto inside = rmag <= W::set1(radius);
    if (simd::any(inside)) [[unlikely]]
      h = select(inside, Vec3Lanes<W>::set1(dipole_core_field(moment, radius)), h);
    return h;
  }

  // The plain dipole (no core) at offsets r = target - dipole of length
  // rmag, for lanes of moments m (also used with a moment per lane).
  template <class W>
  ZANDREL_FORCE_INLINE static Vec3Lanes<W> plain_field(const Vec3Lanes<W>& r, W rmag, const Vec3Lanes<W>& m) {
    const W rinv = W::set1(1.0) / rmag;
    const Vec3Lanes<W> u = r * rinv;
    const W c = W::set1(inv_4pi) * ((rinv * rinv) * rinv);
    // (d + d) is exact, so (d + d) + d is 3 d rounded once, as 3.0 * d is; it
    // keeps the multiplier ports free for the rest.
    const W d = (m.x * u.x + m.y * u.y) + m.z * u.z;
    const W d3 = (d + d) + d;
    return {(u.x * d3 - m.x) * c, (u.y * d3 - m.y) * c, (u.z * d3 - m.z) * c};
  }

  // The same field in fused form, for sums that need speed more than the
  // operation order above (the field operator's single-precision dipoles).
  // m is the moment already divided by 4 pi sqrt(27) = 4 pi 3^(3/2); with
  // q = 3 / |r|^2 the field is
  //   (r (3 m . r / |r|^2) - m) / |r|^3 * 3^(3/2) = (r (q m . r) - m) q^(3/2),
  // which takes one division and one square root (the costly steps of a
  // dipole) and sixteen multiply-adds, with no separate 1/|r|^2 or factor 3.
  template <class W>
  ZANDREL_FORCE_INLINE static void add_fused_field(const Vec3Lanes<W>& r, const Vec3Lanes<W>& m, Vec3Lanes<W>& h) {
    const W q = W::set1(3.0) / simd::fma(r.z, r.z, simd::fma(r.y, r.y, r.x * r.x));
    const W q32 = simd::sqrt(q) * q;
    const W s = simd::fma(m.z, r.z, simd::fma(m.y, r.y, m.x * r.x)) * q;
    h.x = simd::fma(simd::fms(r.x, s, m.x), q32, h.x);
    h.y = simd::fma(simd::fms(r.y, s, m.y), q32, h.y);
    h.z = simd::fma(simd::fms(r.z, s, m.z), q32, h.z);
  }

  template <class W>
  static void add_field(const Source& s, const Vec3Lanes<W>& t, Vec3Lanes<W>& h) {
    h = h + field(s.position, s.moment, s.radius, t);
  }

  // An aggregated moment: a plain dipole (radius 0).
  template <class W>
  static Vec3Lanes<W> far_field(const Vec3& centroid, const Vec3& moment, const Vec3Lanes<W>& t) {
    return field(centroid, moment, 0.0, t);
  }
};

// Field of one point dipole of the given moment and radius at one target.
inline Vec3 h_point_dipole(const Vec3& centroid, const Vec3& moment, double radius, const Vec3& target) {
  return first_lane(PointDipole::field(centroid, moment, radius, Vec3Lanes<simd::V1>::set1(target)));
}

ZANDREL_END
