#pragma once
// A failed internal check aborts the whole call: it throws Panic with the
// exact message the caller sees; the Python layer turns it into
// PanicException. Checks never vanish in release builds.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zandrel {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void panic(const std::string& message);
[[noreturn]] void panic_index(std::size_t len, std::size_t index);

// The three-line equality assertion text.
[[noreturn]] void panic_assert_eq(std::uint64_t left, std::uint64_t right);

inline void assert_eq(std::size_t left, std::size_t right) {
  if (left != right) panic_assert_eq(left, right);
}

// Bounds check of one access; the message names the buffer's length and the index.
inline void check_index(std::size_t index, std::size_t len) {
  if (index >= len) panic_index(len, index);
}

template <class Seq>
inline decltype(auto) at(Seq& seq, std::size_t index) {
  check_index(index, seq.size());
  return seq[index];
}

}  // namespace zandrel
