#pragma once
// The one direct summation: the field of every source of a kind at every
// target of a piece, added into the piece's result columns. Written once over
// the source kind K (kernels/source_kind.hpp) and the vector type W, and
// instantiated per kind and instruction set in direct_isa.cpp.
//
// Blocking, none of which changes a result (each target adds its sources in
// source order, each source's contribution computed by the same lane
// arithmetic whatever the lane or the build):
//   - the piece is walked in sub-blocks of targets_per_block targets, and
//     every sub-block in blocks of K::sources_per_block sources: one such
//     (target sub-block, source block) pair is a bounded unit of work (well
//     under 10 ms), and a checkpoint() before each is where a long sum stops
//     when the call is cancelled (core/interrupt.hpp);
//   - a source block is prepared once (K::prepare) and then every pass of
//     K::target_vectors_per_pass target vectors runs through the whole block
//     with its running results in registers;
//   - a partial last vector is zero-padded (simd/target_loop.hpp).
#include <algorithm>
#include <array>
#include <cstddef>

#include "core/interrupt.hpp"
#include "core/kernels/source_kind.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/target_loop.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/spans.hpp"

ZANDREL_BEGIN

// Targets per sub-block: their coordinates and results (48 bytes each) stay
// in the second-level cache while the source blocks run over them, and the
// per-block preparation of the sources is spread over many targets.
inline constexpr std::size_t targets_per_block = 4096;

template <SourceKind K, class W>
void direct_sum(const typename K::Sources& sources, TargetSpan targets, OutSpan out) {
  constexpr std::size_t block = K::sources_per_block;
  constexpr std::size_t passes = K::target_vectors_per_pass;
  std::array<typename K::Source, block> prepared;
  for (std::size_t t0 = 0; t0 < targets.n; t0 += targets_per_block) {
    const std::size_t t1 = std::min(t0 + targets_per_block, targets.n);
    const TargetSpan sub{targets.x + t0, targets.y + t0, targets.z + t0, t1 - t0};
    const OutSpan sub_out{out.x + t0, out.y + t0, out.z + t0};
    for (std::size_t s0 = 0; s0 < sources.n; s0 += block) {
      checkpoint();
      const std::size_t count = std::min(block, sources.n - s0);
      for (std::size_t k = 0; k < count; ++k) prepared[k] = K::prepare(sources, s0 + k);
      for_target_vectors<W, passes>(sub, sub_out, [&](const auto& t, auto& h, std::size_t) {
        for (std::size_t k = 0; k < count; ++k)
          for (std::size_t p = 0; p < passes; ++p) K::add_field(prepared[k], t[p], h[p]);
      });
    }
  }
}

ZANDREL_END
