#pragma once
// Small helpers shared by the core tests.
#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "core/vec3.hpp"

namespace zandrel::testing {

// The message of the Panic that fn() throws, or "no panic".
template <class Fn>
std::string panic_message(Fn&& fn) {
  try {
    fn();
  } catch (const Panic& p) {
    return p.what();
  }
  return "no panic";
}

// Bit-for-bit equality (signed zeros included); a NaN equals any NaN, whose
// payload and sign the hardware chooses.
inline bool same_bits(double a, double b) {
  return (a != a && b != b) || std::memcmp(&a, &b, sizeof(double)) == 0;
}
inline bool same_bits(const Vec3& a, const Vec3& b) {
  return same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.z, b.z);
}

}  // namespace zandrel::testing
