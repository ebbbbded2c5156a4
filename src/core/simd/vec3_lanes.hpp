#pragma once
// Vec3 over vector lanes: W lanes of x, y and z, with the same operation
// order as Vec3 (dot = (x + y) + z), so every lane equals the scalar result.
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

template <class W>
struct Vec3Lanes {
  W x, y, z;

  static Vec3Lanes set1(const Vec3& v) { return {W::set1(v.x), W::set1(v.y), W::set1(v.z)}; }
  static Vec3Lanes zero() { return {W::set1(0.0), W::set1(0.0), W::set1(0.0)}; }
};

template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> operator+(const Vec3Lanes<W>& a, const Vec3Lanes<W>& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> operator-(const Vec3Lanes<W>& a, const Vec3Lanes<W>& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> operator*(const Vec3Lanes<W>& a, W s) {
  return {a.x * s, a.y * s, a.z * s};
}
// Broadcast vector times lanes of scalars: (v.x * s, v.y * s, v.z * s).
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> operator*(const Vec3& v, W s) {
  return {W::set1(v.x) * s, W::set1(v.y) * s, W::set1(v.z) * s};
}
template <class W>
ZANDREL_FORCE_INLINE W dot(const Vec3Lanes<W>& a, const Vec3Lanes<W>& b) {
  return (a.x * b.x + a.y * b.y) + a.z * b.z;
}
// Broadcast vector with lanes, same order as dot(Vec3, Vec3).
template <class W>
ZANDREL_FORCE_INLINE W dot(const Vec3& a, const Vec3Lanes<W>& b) {
  return (W::set1(a.x) * b.x + W::set1(a.y) * b.y) + W::set1(a.z) * b.z;
}
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> cross(const Vec3Lanes<W>& a, const Vec3Lanes<W>& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
template <class W>
ZANDREL_FORCE_INLINE W mag(const Vec3Lanes<W>& v) {
  return simd::sqrt(dot(v, v));
}
// Per lane: a where m is set, b elsewhere.
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> select(typename W::mask m, const Vec3Lanes<W>& a, const Vec3Lanes<W>& b) {
  return {simd::select(m, a.x, b.x), simd::select(m, a.y, b.y), simd::select(m, a.z, b.z)};
}
// The value of a single lane (simd::V1), as a Vec3.
inline Vec3 first_lane(const Vec3Lanes<simd::V1>& v) { return {v.x.v[0], v.y.v[0], v.z.v[0]}; }

// p - r for a broadcast point p and lanes of points r.
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> from_point(const Vec3& p, const Vec3Lanes<W>& r) {
  return {W::set1(p.x) - r.x, W::set1(p.y) - r.y, W::set1(p.z) - r.z};
}
// r - p for lanes of points r and a broadcast point p.
template <class W>
ZANDREL_FORCE_INLINE Vec3Lanes<W> to_point(const Vec3Lanes<W>& r, const Vec3& p) {
  return {r.x - W::set1(p.x), r.y - W::set1(p.y), r.z - W::set1(p.z)};
}

ZANDREL_END
