#include "core/errors.hpp"

namespace zandrel {

void panic(const std::string& message) { throw Panic(message); }

void panic_index(std::size_t len, std::size_t index) {
  throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

void panic_assert_eq(std::uint64_t left, std::uint64_t right) {
  throw Panic("assertion `left == right` failed\n  left: " + std::to_string(left) +
              "\n right: " + std::to_string(right));
}

}  // namespace zandrel
