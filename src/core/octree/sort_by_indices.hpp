#pragma once
// Applies a permutation to a column through a caller-owned scratch buffer, so
// that one scratch serves every column of the same element type.
#include <cstddef>
#include <span>

#include "core/errors.hpp"
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
    check_index(indices[i], scratch.size());
    check_index(i, data.size());
    data[i] = scratch[indices[i]];
  }
}

ZANDREL_END
