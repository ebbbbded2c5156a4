#pragma once
// A build's table of entry points, type-erased, in the order given: what a
// per-instruction-set file exports (dispatch/kernel_table.hpp).
#include "core/dispatch/kernel_table.hpp"
#include "core/simd/isa.hpp"

ZANDREL_BEGIN

template <auto... entries>
const ErasedKernel* erased_table() {
  static const ErasedKernel table[] = {reinterpret_cast<ErasedKernel>(entries)...};
  return table;
}

ZANDREL_END
