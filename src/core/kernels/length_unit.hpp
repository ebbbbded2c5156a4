#pragma once
// The length unit of an element. The closed-form kernels need a few absolute
// guards (an offset that keeps a quotient finite, distances below which a
// singular term is dropped); measured in this unit they scale with the
// element, so that H of a magnetised element depends on its shape only and
// H of a current-carrying one scales with its length. The unit is a power of
// two: scaling an element and its targets by a power of two scales every
// guard exactly.
#include <bit>
#include <cstdint>

#include "core/simd/isa.hpp"

ZANDREL_BEGIN

// The power of two 2^k with `longest` (the longest edge) in (2^k, 2^(k+1)].
// It is 1 for a longest edge in (1, 2]: for such unit-sized elements the
// guards are the plain constants (fastmath::atan2_guard,
// edge_singular_distance). Clamped to [2^-300, 2^300], so that the cube of
// a unit stays a normal number; NaN gives 2^-300.
inline double length_unit(double longest) {
  constexpr double smallest = 0x1p-300, largest = 0x1p300;
  if (!(longest > smallest)) return smallest;
  if (longest > largest) return largest;
  // The exponent of the next double below `longest`: one binade lower when
  // longest is a power of two itself.
  return std::bit_cast<double>((std::bit_cast<std::uint64_t>(longest) - 1) & 0x7FF0000000000000ULL);
}

ZANDREL_END
