#pragma once
// One piece of targets as three coordinate columns, and the three result
// columns the kernels add into. Plain records of pointers and a length: they
// cross the boundary between the per-instruction-set builds, so they carry no
// inline code.
#include <cstddef>

namespace zandrel {

struct TargetSpan {
  const double* x;
  const double* y;
  const double* z;
  std::size_t n;
};

struct OutSpan {
  double* x;
  double* y;
  double* z;
};

}  // namespace zandrel
