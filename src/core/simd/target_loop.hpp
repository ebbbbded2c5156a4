#pragma once
// Walks a piece of targets a full vector at a time. The remainder is copied
// into a zero-padded block and run through the very same vector code, so a
// target's value never depends on its position in the piece or on the width
// of the build.
#include <cstddef>

#include "core/simd/isa.hpp"
#include "core/dispatch/kernel_api.hpp"

ZANDREL_BEGIN

// body(tx, ty, tz, hx, hy, hz): W target coordinates, W& accumulators loaded
// from (and stored back to) the result columns.
template <class W, class Body>
inline void for_target_vectors(TargetSpan targets, OutSpan out, Body&& body) {
  constexpr std::size_t lanes = W::lanes;
  std::size_t i = 0;
  for (; i + lanes <= targets.n; i += lanes) {
    W hx = W::load(out.x + i), hy = W::load(out.y + i), hz = W::load(out.z + i);
    body(W::load(targets.x + i), W::load(targets.y + i), W::load(targets.z + i), hx, hy, hz);
    hx.store(out.x + i);
    hy.store(out.y + i);
    hz.store(out.z + i);
  }
  if (i == targets.n) return;
  const std::size_t rest = targets.n - i;
  alignas(64) double tx[lanes] = {}, ty[lanes] = {}, tz[lanes] = {};
  alignas(64) double ox[lanes] = {}, oy[lanes] = {}, oz[lanes] = {};
  for (std::size_t k = 0; k < rest; ++k) {
    tx[k] = targets.x[i + k];
    ty[k] = targets.y[i + k];
    tz[k] = targets.z[i + k];
    ox[k] = out.x[i + k];
    oy[k] = out.y[i + k];
    oz[k] = out.z[i + k];
  }
  W hx = W::load(ox), hy = W::load(oy), hz = W::load(oz);
  body(W::load(tx), W::load(ty), W::load(tz), hx, hy, hz);
  hx.store(ox);
  hy.store(oy);
  hz.store(oz);
  for (std::size_t k = 0; k < rest; ++k) {
    out.x[i + k] = ox[k];
    out.y[i + k] = oy[k];
    out.z[i + k] = oz[k];
  }
}

ZANDREL_END
