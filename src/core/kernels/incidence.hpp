#pragma once
// Targets on the plane of a face or on the line of an edge.
//
// A uniformly magnetised mesh carries no charge on its interior faces: the
// charges that two elements put on the face they share cancel, and so do the
// singular terms of the faces around an interior edge, but only if every
// element that has the face or edge evaluates it alike. Each element works in
// its own corner order and frames, so for a target on the plane of a face its
// height above the face is a rounding residue whose sign, and whether it is
// zero, differ from element to element. The decisions below are taken on the
// differences corner - target with the corners in one order fixed by their
// coordinates: every element that has the face or edge evaluates the same
// operations on the same operands and decides alike, bit for bit (also in
// another power-of-two length unit, since scaling by it is exact).
//
// "Within rounding" is 2^-40 (about 1e-12, 4096 units in the last place) of
// the products of distances the tests compare with: the triple and cross
// products of the differences are accurate to 3 units in the last place of
// those products, and the margin takes in targets placed on a face or edge
// by floating-point arithmetic on coordinates up to a few thousand element
// sizes from the origin. For a uniformly magnetised body the field is
// continuous across its interior faces, so nothing is lost there; a target
// that close to the outer surface counts as on it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

inline constexpr double incidence_tolerance = 0x1p-40;

// Order by x, then y, then z.
inline bool lexicographically_less(const Vec3& a, const Vec3& b) {
  if (a.x != b.x) return a.x < b.x;
  if (a.y != b.y) return a.y < b.y;
  return a.z < b.z;
}

// The positions of three points in lexicographic order (index[0] is the
// position of the smallest) and the sign of that permutation.
struct CornerOrder {
  std::array<std::uint8_t, 3> index = {0, 1, 2};
  double parity = 1.0;
};

inline CornerOrder lexicographic_order(const Vec3& p0, const Vec3& p1, const Vec3& p2) {
  const std::array<const Vec3*, 3> p = {&p0, &p1, &p2};
  CornerOrder o;
  const auto sort_pair = [&](std::size_t i, std::size_t j) {
    if (lexicographically_less(*p[o.index[j]], *p[o.index[i]])) {
      std::swap(o.index[i], o.index[j]);
      o.parity = -o.parity;
    }
  };
  sort_pair(0, 1);
  sort_pair(1, 2);
  sort_pair(0, 1);
  return o;
}

// The triple product d_0 . (d_1 x d_2) of the differences d_i = P_i - r of
// a triangle's corners (in lexicographic order): -2 area times the height of
// the targets above the plane, for the corners in positive order.
template <class W>
inline W triple_product(const std::array<Vec3Lanes<W>, 3>& d) {
  return dot(d[0], cross(d[1], d[2]));
}

// Targets at one of the corners within rounding: the shortest of the
// distances to the corners at most 2^-40 of the longest. Such a target lies
// in the plane of every face and on the line of every edge at that corner,
// while the products the tests below compare scale with its distance.
template <class W, std::size_t N>
inline typename W::mask at_a_corner(const std::array<W, N>& l) {
  W longest = l[0];
  for (std::size_t i = 1; i < N; ++i) longest = simd::select(longest < l[i], l[i], longest);
  const W bound = longest * W::set1(incidence_tolerance);
  auto at = l[0] <= bound;
  for (std::size_t i = 1; i < N; ++i) at = at | (l[i] <= bound);
  return at;
}

// Targets in the plane of a triangle within rounding, from the triple
// product and the lengths of the differences: |triple| <= 2^-40 l_0 l_1 l_2,
// or at a corner.
template <class W>
inline typename W::mask in_plane(W triple, const std::array<W, 3>& l) {
  return (simd::abs(triple) <= ((l[0] * l[1]) * l[2]) * W::set1(incidence_tolerance)) | at_a_corner(l);
}

// Targets on the line of an edge within rounding, from the differences of
// its ends in lexicographic order and their lengths: |d_0 x d_1| <= 2^-40
// l_0 l_1, or at an end.
template <class W>
inline typename W::mask on_line(const Vec3Lanes<W>& d0, const Vec3Lanes<W>& d1, W l0, W l1) {
  const Vec3Lanes<W> c = cross(d0, d1);
  const W bound = (l0 * l1) * W::set1(incidence_tolerance);
  return (dot(c, c) <= bound * bound) | at_a_corner(std::array<W, 2>{l0, l1});
}

ZANDREL_END
