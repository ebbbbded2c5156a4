#pragma once
// The near pairs of a target: the elements of its leaf's near source leaves
// (in list order, each leaf's elements in tree order) whose outer zone holds
// it. The zones are decided by one comparison of one squared distance, formed
// in one order, wherever pairs are enumerated (computing, quantising and
// applying near blocks, and masking the direct point dipoles), so that every
// pair lands in the same zone everywhere.
#include <cstddef>

#include "core/simd/isa.hpp"
#include "core/operator/operator_api.hpp"

ZANDREL_BEGIN

template <class T>
inline T squared_distance(T tx, T ty, T tz, T cx, T cy, T cz) {
  const T dx = tx - cx, dy = ty - cy, dz = tz - cz;
  return (dx * dx + dy * dy) + dz * dz;
}

// visit(tree position of the element, whether the pair is in the inner zone).
template <class Visit>
inline void for_near_pairs(const SourceView& s, const TargetView& t, std::size_t leaf, double x, double y, double z,
                           Visit&& visit) {
  for (std::uint32_t q = t.near_offsets[leaf]; q < t.near_offsets[leaf + 1]; ++q) {
    const TreeCell& b = s.cells[t.near[q]];
    for (std::uint32_t j = b.first; j < b.end; ++j) {
      const double d2 = squared_distance(x, y, z, s.cx[j], s.cy[j], s.cz[j]);
      if (d2 < s.outer2[j]) visit(j, d2 < s.inner2[j]);
    }
  }
}

ZANDREL_END
