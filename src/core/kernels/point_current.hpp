#pragma once
// Point current element: a small volume V carrying the current density J,
// seen from outside as the Biot-Savart element J V at its centroid,
//   H = (J V) x d / (4 pi |d|^3),  d = target - centroid.
// Inside the sphere of its volume (radius a = (3 V / (4 pi))^(1/3)) the field
// is that of a uniformly current-carrying sphere, (J V) x d / (4 pi a^3): it
// rises linearly from the centre and meets the outside field at |d| = a.
//
// Two roundings of this field are documented and both results must stay bit
// for bit, so the kernel is one template over its arithmetic:
//   FusedArithmetic     the direct sum: J and V kept apart (k = V/(4 pi)),
//                       |d| and J x d by fused multiply-adds, the core by a
//                       NaN-ignoring maximum of |d|^3 and a^3 (a NaN
//                       distance falls back to the core), the result fused
//                       into the running sum;
//   SeparateArithmetic  h_point, the octree's leaves and far field: J V
//                       premultiplied, every product and sum rounded on its
//                       own, the core where |d| < a (a NaN distance gives NaN).
//
//   h_point              one current element at one target (separate
//                        arithmetic, one lane)
//   PointCurrentElement  the source kind: preparation, lane kernel, far field
#include <cmath>
#include <cstddef>
#include <type_traits>

#include "core/constants.hpp"
#include "core/kernels/source_views.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Radius of the sphere of volume v, (v * 3/(4 pi))^(1/3) by the general power
// function: a negative v gives NaN, i.e. no core. Point sets and the direct
// current sum form it this way.
inline double sphere_radius(double volume) { return std::pow(volume * three_over_4pi, one_third); }

// One current element as the target loop reads it: its field is
// strength * (vector x d) / max(|d|^3, core_cube), d = target - position.
struct CurrentElement {
  Vec3 position;
  Vec3 vector;             // J (fused) or J V (separate)
  double strength = 0.0;   // V/(4 pi) (fused) or 1/(4 pi) (separate)
  double core_cube = 0.0;  // a^3
};

// The steps where the two arithmetics differ: |d|, the denominator
// max(|d|^3, a^3), the cross product J x d, and adding c (J x d) into h.
struct FusedArithmetic {
  using Sources = CurrentColumns;
  static CurrentElement prepare(const CurrentColumns& s, std::size_t i) {
    return {{s.x[i], s.y[i], s.z[i]}, {s.jx[i], s.jy[i], s.jz[i]}, s.k[i], s.core_cube[i]};
  }
  template <class W>
  ZANDREL_FORCE_INLINE static W distance(const Vec3Lanes<W>& d) {
    using simd::fma;
    return simd::sqrt(fma(d.x, d.x, fma(d.y, d.y, d.z * d.z)));
  }
  template <class W>
  ZANDREL_FORCE_INLINE static W denominator(W r, W core_cube) {
    return simd::max_ignoring_nan(r * (r * r), core_cube);
  }
  template <class W>
  ZANDREL_FORCE_INLINE static Vec3Lanes<W> cross(const Vec3Lanes<W>& j, const Vec3Lanes<W>& d) {
    using simd::fma;
    return {fma(j.y, d.z, -(j.z * d.y)), fma(j.z, d.x, -(j.x * d.z)), fma(j.x, d.y, -(j.y * d.x))};
  }
  template <class W>
  ZANDREL_FORCE_INLINE static void accumulate(W c, const Vec3Lanes<W>& v, Vec3Lanes<W>& h) {
    using simd::fma;
    h = {fma(c, v.x, h.x), fma(c, v.y, h.y), fma(c, v.z, h.z)};
  }
};

struct SeparateArithmetic {
  using Sources = PointColumns;  // vx, vy, vz: the current elements J V
  // The element vj with the given core radius.
  static CurrentElement element(const Vec3& position, const Vec3& vj, double radius) {
    return {position, vj, inv_4pi, (radius * radius) * radius};
  }
  static CurrentElement prepare(const PointColumns& s, std::size_t i) {
    return element({s.x[i], s.y[i], s.z[i]}, {s.vx[i], s.vy[i], s.vz[i]}, s.radius[i]);
  }
  template <class W>
  ZANDREL_FORCE_INLINE static W distance(const Vec3Lanes<W>& d) {
    return simd::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z);
  }
  // |d| < a chooses the core; comparing the cubes chooses the same value
  // (the cubes round monotonically, and equal cubes are the same value).
  template <class W>
  ZANDREL_FORCE_INLINE static W denominator(W r, W core_cube) {
    const W r3 = (r * r) * r;
    return simd::select(r3 < core_cube, core_cube, r3);
  }
  template <class W>
  ZANDREL_FORCE_INLINE static Vec3Lanes<W> cross(const Vec3Lanes<W>& j, const Vec3Lanes<W>& d) {
    return zandrel::cross(j, d);
  }
  template <class W>
  ZANDREL_FORCE_INLINE static void accumulate(W c, const Vec3Lanes<W>& v, Vec3Lanes<W>& h) {
    h = h + v * c;
  }
};

template <class Arithmetic>
struct PointCurrentElement {
  using Source = CurrentElement;
  using Sources = typename Arithmetic::Sources;
  static constexpr std::size_t sources_per_block = 128;
  static constexpr std::size_t target_vectors_per_pass = 1;

  static Source prepare(const Sources& s, std::size_t i) { return Arithmetic::prepare(s, i); }

  // The field at lanes of targets is c v: the factor and the cross product.
  template <class W>
  struct Factors {
    W c;
    Vec3Lanes<W> v;
  };
  template <class W>
  ZANDREL_FORCE_INLINE static Factors<W> factors(const Source& s, const Vec3Lanes<W>& t) {
    const Vec3Lanes<W> d = to_point(t, s.position);
    return {W::set1(s.strength) / Arithmetic::denominator(Arithmetic::distance(d), W::set1(s.core_cube)),
            Arithmetic::cross(Vec3Lanes<W>::set1(s.vector), d)};
  }

  template <class W>
  ZANDREL_FORCE_INLINE static void add_field(const Source& s, const Vec3Lanes<W>& t, Vec3Lanes<W>& h) {
    const Factors<W> f = factors(s, t);
    Arithmetic::accumulate(f.c, f.v, h);
  }

  // The field of the element vj = J V with the given core radius (h_point);
  // an aggregated element (an octree branch) has none.
  template <class W>
    requires std::is_same_v<Arithmetic, SeparateArithmetic>
  static Vec3Lanes<W> field(const Vec3& centroid, const Vec3& vj, double radius, const Vec3Lanes<W>& t) {
    const Factors<W> f = factors(Arithmetic::element(centroid, vj, radius), t);
    return f.v * f.c;
  }
  template <class W>
    requires std::is_same_v<Arithmetic, SeparateArithmetic>
  static Vec3Lanes<W> far_field(const Vec3& centroid, const Vec3& vj, const Vec3Lanes<W>& t) {
    return field(centroid, vj, 0.0, t);
  }
};

// Field of one current element vj = J V with the given core radius at one
// target; a target exactly at the radius uses the outside formula, which
// agrees there.
inline Vec3 h_point(const Vec3& centroid, const Vec3& vj, double radius, const Vec3& target) {
  return first_lane(PointCurrentElement<SeparateArithmetic>::field(centroid, vj, radius,
                                                                    Vec3Lanes<simd::V1>::set1(target)));
}

ZANDREL_END
