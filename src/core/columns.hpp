#pragma once
// Column triple: three separate double columns (x, y, z) of equal length.
// Targets and results travel in this form so that a piece of targets is a
// contiguous run in each column.
#include <cstddef>
#include <vector>

#include "core/simd/isa.hpp"
#include "core/spans.hpp"

ZANDREL_BEGIN

struct Columns {
  std::vector<double> x, y, z;

  Columns() = default;
  explicit Columns(std::size_t n) : x(n, 0.0), y(n, 0.0), z(n, 0.0) {}

  std::size_t size() const { return x.size(); }
  TargetSpan span(std::size_t begin, std::size_t end) const {
    return {x.data() + begin, y.data() + begin, z.data() + begin, end - begin};
  }
  TargetSpan span() const { return span(0, size()); }
  OutSpan out(std::size_t begin) { return {x.data() + begin, y.data() + begin, z.data() + begin}; }
};

ZANDREL_END
