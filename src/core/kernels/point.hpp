#pragma once
// Field kernels of point sources that stand for small volume elements: a
// magnetised one (a dipole) and a current-carrying one (a current element).
// Each carries the radius of the sphere of its volume; inside that radius the
// field is the one inside a uniform sphere, so targets on a source stay finite.
#include <cmath>

#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

inline constexpr double inv_4pi = 0.07957747154594767;
inline constexpr double four_pi = 12.566370614359172;
inline constexpr double three_over_4pi = 0.238732414637843;
inline constexpr double one_third = 0.3333333333333333;
inline constexpr double minus_one_third = -0.3333333333333333;

// Uniform field -M/3 inside a uniformly magnetised sphere of the given radius
// and moment: moment * (3 / (4 pi r^3)) * (-1/3), component by component.
inline Vec3 dipole_core_field(const Vec3& moment, double radius) {
  const double f = 3.0 / (four_pi * (radius * radius * radius));
  return {(moment.x * f) * minus_one_third, (moment.y * f) * minus_one_third,
          (moment.z * f) * minus_one_third};
}

// Dipole field at lanes of targets (rx, ry, rz = target - centroid):
// H = (r^ (3 m.r^) - m) / (4 pi r^3) outside, the core field inside
// (rmag <= radius; a NaN distance counts as outside).
template <class W>
inline void dipole_field_lanes(W rx, W ry, W rz, double mx, double my, double mz, double radius,
                               double ix, double iy, double iz, W& hx, W& hy, W& hz) {
  using simd::sqrt;
  const W rmag = sqrt((rx * rx + ry * ry) + rz * rz);
  const auto inside = rmag <= W::set1(radius);
  const W rinv = W::set1(1.0) / rmag;
  const W ux = rx * rinv, uy = ry * rinv, uz = rz * rinv;
  const W c = W::set1(inv_4pi) * ((rinv * rinv) * rinv);
  const W Mx = W::set1(mx), My = W::set1(my), Mz = W::set1(mz);
  const W d = (Mx * ux + My * uy) + Mz * uz;
  // (d + d) is exact, so (d + d) + d is 3*d rounded once, as 3.0 * d is; it
  // keeps the multiplier ports free for the rest.
  const W d3 = (d + d) + d;
  hx = (ux * d3 - Mx) * c;
  hy = (uy * d3 - My) * c;
  hz = (uz * d3 - Mz) * c;
  // Targets within the equivalent radius are rare: blend only when one is.
  if (any(inside)) {
    hx = select(inside, W::set1(ix), hx);
    hy = select(inside, W::set1(iy), hy);
    hz = select(inside, W::set1(iz), hz);
  }
}

// Field of one point dipole of the given moment at one target: the same
// operations as one lane of dipole_field_lanes, with the inside field formed
// only when the target is inside.
inline Vec3 h_point_dipole(const Vec3& centroid, const Vec3& moment, double radius, const Vec3& target) {
  const double rx = target.x - centroid.x, ry = target.y - centroid.y, rz = target.z - centroid.z;
  const double rmag = std::sqrt((rx * rx + ry * ry) + rz * rz);
  if (rmag <= radius) return dipole_core_field(moment, radius);
  const double rinv = 1.0 / rmag;
  const double ux = rx * rinv, uy = ry * rinv, uz = rz * rinv;
  const double c = inv_4pi * ((rinv * rinv) * rinv);
  const double d3 = 3.0 * ((moment.x * ux + moment.y * uy) + moment.z * uz);
  return {(ux * d3 - moment.x) * c, (uy * d3 - moment.y) * c, (uz * d3 - moment.z) * c};
}

// Field of one current element vj = J*V at one target (Biot-Savart outside,
// linear rise inside the sphere of the given radius; the strict test makes a
// target exactly at the radius use the outside formula, which agrees there).
inline Vec3 h_point(const Vec3& centroid, const Vec3& vj, double radius, const Vec3& target) {
  const Vec3 r = target - centroid;
  const Vec3 v = {vj.y * r.z - vj.z * r.y, vj.z * r.x - vj.x * r.z, vj.x * r.y - vj.y * r.x};
  const double rmag = std::sqrt(r.x * r.x + r.y * r.y + r.z * r.z);
  if (rmag < radius) return v * (inv_4pi / (radius * radius * radius));
  return v * (inv_4pi / (rmag * rmag * rmag));
}

// One current element with k = V/(4 pi) and a3 = cube of its equivalent
// radius, added into lanes of targets with fused steps:
// H += (k / max(r^3, a^3)) * (J x d).
template <class W>
inline void current_field_accumulate(W dx, W dy, W dz, double jx, double jy, double jz, double k,
                                     double a3, W& hx, W& hy, W& hz) {
  using simd::fma;
  using simd::sqrt;
  const W r = sqrt(fma(dx, dx, fma(dy, dy, dz * dz)));
  const W r3 = r * (r * r);
  const W c = W::set1(k) / simd::max_ignoring_nan(r3, W::set1(a3));
  const W Jx = W::set1(jx), Jy = W::set1(jy), Jz = W::set1(jz);
  const W cx = fma(Jy, dz, -(Jz * dy));
  const W cy = fma(Jz, dx, -(Jx * dz));
  const W cz = fma(Jx, dy, -(Jy * dx));
  hx = fma(c, cx, hx);
  hy = fma(c, cy, hy);
  hz = fma(c, cz, hz);
}

ZANDREL_END
