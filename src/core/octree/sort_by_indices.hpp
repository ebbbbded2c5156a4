#pragma once
// Applies a permutation to a column through a caller-owned scratch buffer, so
// that one scratch serves every column of the same element type; and the
// cancellable sort that orders sources and targets along the Morton curve.
#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/simd/isa.hpp"

ZANDREL_BEGIN

// data[i] = old data[indices[i]] for i < indices.size(). data and scratch must
// have equal lengths (element-wise copy: the first position missing in either
// aborts the call with the index message), every index must be below it.
template <class T>
void sort_by_indices(std::span<T> data, std::span<T> scratch, std::span<const std::size_t> indices) {
  if (scratch.size() != data.size()) {
    const std::size_t len = scratch.size() < data.size() ? scratch.size() : data.size();
    panic_index(len, len);
  }
  for (std::size_t i = 0; i < data.size(); ++i) scratch[i] = data[i];
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    check_index(indices[i], scratch.size());
    check_index(i, data.size());
    data[i] = scratch[indices[i]];
  }
}

// Sorts v ascending like std::sort, in steps with a checkpoint() before
// each: runs of 2^18 entries are sorted one by one, then merged pairwise,
// pass after pass. With distinct entries (every caller sorts (key, index)
// pairs) the order is the only ascending one, whatever the steps.
template <class T>
void sort_in_steps(std::vector<T>& v) {
  constexpr std::size_t run = std::size_t{1} << 18;
  const auto at_position = [&v](std::size_t i) {
    return v.begin() + static_cast<std::ptrdiff_t>(std::min(i, v.size()));
  };
  for (std::size_t b = 0; b < v.size(); b += run) {
    checkpoint();
    std::sort(at_position(b), at_position(b + run));
  }
  for (std::size_t width = run; width < v.size(); width *= 2) {
    for (std::size_t b = 0; b + width < v.size(); b += 2 * width) {
      checkpoint();
      std::inplace_merge(at_position(b), at_position(b + width), at_position(b + 2 * width));
    }
  }
}

ZANDREL_END
