#include "core/solver/progress.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "core/errors.hpp"

namespace zandrel {

std::string format_change(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0.0 ? "-inf" : "inf";
  // to_chars is locale-independent and correctly rounded (ties to even on the
  // exact binary value); it writes the exponent as e-03 / e+04, which is
  // rewritten without the plus sign and the leading zeros.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 3);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string out(text.substr(0, e + 1));
  std::size_t pos = e + 1;
  if (text[pos] == '-') out += '-';
  if (text[pos] == '-' || text[pos] == '+') ++pos;
  while (pos + 1 < text.size() && text[pos] == '0') ++pos;
  out += text.substr(pos);
  return out;
}

std::string progress_line(std::uint64_t iteration, double change) {
  return "Iteration: " + std::to_string(iteration) + "; max change: " + format_change(change) + "\n";
}

void write_stdout(const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      panic(std::string("failed printing to stdout: ") + std::strerror(errno));
    }
    if (written == 0) panic("failed printing to stdout: failed to write whole buffer");
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void write_stdout_line(void*, const std::string& line) { write_stdout(line); }

}  // namespace zandrel
