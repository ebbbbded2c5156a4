#pragma once
// Walks a run of entries of some double columns a pass of vectors at a time.
// Full passes read the columns straight; the remainder is copied into a
// zero-padded block and run through the very same vector code, so an entry's
// value never depends on its position in the run or on the width of the build
// (the padding lanes' results are dropped). This is the one place where a
// partial last vector is handled: every target loop and every array form of a
// vector function goes through it.
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/simd/isa.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/spans.hpp"

ZANDREL_BEGIN

// Where entry i of the run lives in its columns.
struct Consecutive {
  static constexpr bool contiguous = true;
  std::size_t operator()(std::size_t i) const { return i; }
};
struct InOrder {
  static constexpr bool contiguous = false;
  const std::uint32_t* order;  // entry i at position order[i]; a permutation
  std::size_t operator()(std::size_t i) const { return order[i]; }
};

// Lanes of the columns of one pass: pass[p][c] holds column c for vector p.
template <class W, std::size_t passes, std::size_t columns>
using LanePass = std::array<std::array<W, columns>, passes>;

// body(in, inout, count) for every pass of `passes` vectors over entries
// 0 .. n-1: `in` holds the lanes of the read-only columns, `inout` those of
// the read-write columns, which are stored back after the body; the first
// `count` lanes of the pass hold entries (all but in the padded last pass).
template <class W, std::size_t passes, std::size_t In, std::size_t InOut, class Index, class Body>
inline void for_each_lane_pass(std::size_t n, Index index, const std::array<const double*, In>& in,
                               const std::array<double*, InOut>& inout, Body&& body) {
  constexpr std::size_t lanes = W::lanes;
  constexpr std::size_t width = passes * lanes;
  // Entries i .. i+count-1 through a zero-padded block of one pass.
  auto through_block = [&](std::size_t i, std::size_t count) {
    alignas(64) double block[In + InOut][width] = {};
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t at = index(i + k);
      for (std::size_t c = 0; c < In; ++c) block[c][k] = in[c][at];
      for (std::size_t c = 0; c < InOut; ++c) block[In + c][k] = inout[c][at];
    }
    LanePass<W, passes, In> a;
    LanePass<W, passes, InOut> b;
    for (std::size_t p = 0; p < passes; ++p) {
      for (std::size_t c = 0; c < In; ++c) a[p][c] = W::load(block[c] + p * lanes);
      for (std::size_t c = 0; c < InOut; ++c) b[p][c] = W::load(block[In + c] + p * lanes);
    }
    body(a, b, count);
    for (std::size_t p = 0; p < passes; ++p)
      for (std::size_t c = 0; c < InOut; ++c) b[p][c].store(block[In + c] + p * lanes);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t at = index(i + k);
      for (std::size_t c = 0; c < InOut; ++c) inout[c][at] = block[In + c][k];
    }
  };

  std::size_t i = 0;
  for (; i + width <= n; i += width) {
    if constexpr (Index::contiguous) {
      LanePass<W, passes, In> a;
      LanePass<W, passes, InOut> b;
      for (std::size_t p = 0; p < passes; ++p) {
        for (std::size_t c = 0; c < In; ++c) a[p][c] = W::load(in[c] + index(i) + p * lanes);
        for (std::size_t c = 0; c < InOut; ++c) b[p][c] = W::load(inout[c] + index(i) + p * lanes);
      }
      body(a, b, width);
      for (std::size_t p = 0; p < passes; ++p)
        for (std::size_t c = 0; c < InOut; ++c) b[p][c].store(inout[c] + index(i) + p * lanes);
    } else {
      through_block(i, width);
    }
  }
  if (i < n) through_block(i, n - i);
}

// The targets of a span (entry i at position index(i)) with the result
// columns they add into: body(t, h, count) gets `passes` vectors of target
// points t and their running results h, loaded from `out` and stored back,
// and how many of the pass's lanes hold targets.
template <class W, std::size_t passes = 1, class Index = Consecutive, class Body>
inline void for_target_vectors(TargetSpan targets, OutSpan out, Body&& body, Index index = {}) {
  for_each_lane_pass<W, passes>(
      targets.n, index, std::array<const double*, 3>{targets.x, targets.y, targets.z},
      std::array<double*, 3>{out.x, out.y, out.z},
      [&](const LanePass<W, passes, 3>& in, LanePass<W, passes, 3>& inout, std::size_t count) {
        std::array<Vec3Lanes<W>, passes> t, h;
        for (std::size_t p = 0; p < passes; ++p) {
          t[p] = {in[p][0], in[p][1], in[p][2]};
          h[p] = {inout[p][0], inout[p][1], inout[p][2]};
        }
        body(t, h, count);
        for (std::size_t p = 0; p < passes; ++p) inout[p] = {h[p].x, h[p].y, h[p].z};
      });
}

ZANDREL_END
