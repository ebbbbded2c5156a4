#pragma once
// Mat3: a 3x3 matrix of three Vec3 rows; entry (i, j) is component j of row
// i. The operation order of every routine is fixed, so results are
// reproducible to the bit.
#include <array>

#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

struct Mat3 {
  std::array<Vec3, 3> rows{};

  // Sum of the six triple products, each taken as (first * second) * third,
  // added and subtracted strictly left to right.
  double det() const {
    const Vec3& r0 = rows[0];
    const Vec3& r1 = rows[1];
    const Vec3& r2 = rows[2];
    return ((((r0.x * r1.y * r2.z + r0.y * r1.z * r2.x) + r0.z * r1.x * r2.y) - r0.z * r1.y * r2.x) -
            r0.y * r1.x * r2.z) -
           r0.x * r1.z * r2.y;
  }

  // (M^T)^-1 = cofactor matrix / det, the cofactor rows being the cross
  // products of the other two rows. One division; a singular matrix gives
  // infinite or NaN entries, never a failure.
  Mat3 inverse_transpose() const {
    const double d = det();
    Mat3 out{{cross(rows[1], rows[2]), cross(rows[2], rows[0]), cross(rows[0], rows[1])}};
    out *= 1.0 / d;
    return out;
  }

  // (row0 . v, row1 . v, row2 . v).
  Vec3 mul_vec(const Vec3& v) const { return {dot(rows[0], v), dot(rows[1], v), dot(rows[2], v)}; }

  Mat3& operator*=(double s) {
    for (Vec3& row : rows) row *= s;
    return *this;
  }
};

ZANDREL_END
