#pragma once
// The near pairs of one target laid out for the vector lanes: nine rows of
// equal capacity (the block xx yy zz xy xz yz, then M_j), pair i in column i.
// Rows grow in whole groups of `group` columns, with `slack` more that
// writers of whole vectors may overrun; the padding of the last group is
// zeroed before the products are formed, so it adds nothing.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/simd/isa.hpp"

ZANDREL_BEGIN

template <class T, std::size_t group, std::size_t slack>
class PairRows {
 public:
  void clear() { n_ = 0; }
  std::size_t size() const { return n_; }

  // Room for `more` pairs after the current ones; returns the first new one.
  std::size_t grow(std::size_t more) {
    const std::size_t at = n_;
    n_ += more;
    const std::size_t need = (n_ + slack + group - 1) / group * group;
    if (need > cap_) {
      std::vector<T> b(9 * 2 * need, T{0});
      for (std::size_t c = 0; c < 9; ++c)
        std::copy(v_.begin() + c * cap_, v_.begin() + c * cap_ + at, b.begin() + c * 2 * need);
      v_.swap(b);
      cap_ = 2 * need;
    }
    return at;
  }

  T* row(std::size_t c) { return v_.data() + c * cap_; }  // blocks c = 0..5, moments 6..8

  // Zeroes the columns from size() to the end of its group; returns that end.
  std::size_t pad() {
    const std::size_t padded = (n_ + group - 1) / group * group;
    for (std::size_t c = 0; c < 9; ++c) std::fill(row(c) + n_, row(c) + padded, T{0});
    return padded;
  }

 private:
  std::vector<T> v_;  // nine rows of cap_
  std::size_t n_ = 0, cap_ = 0;
};

ZANDREL_END
