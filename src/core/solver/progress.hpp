#pragma once
// The solver's progress line on the process's standard output (file
// descriptor 1, below any buffering of the host interpreter).
#include <cstdint>
#include <string>

namespace zandrel {

// Scientific notation with three digits after the point, rounded to nearest
// with ties to even on the exact binary value, and a bare decimal exponent:
// 0.00123 -> "1.230e-3", 12345.678 -> "1.235e4", 0.0 -> "0.000e0".
// Infinities are "inf" / "-inf", NaN is "NaN"; a negative value carries "-".
std::string format_change(double value);

// "Iteration: <k>; max change: <format_change(change)>\n".
std::string progress_line(std::uint64_t iteration, double change);

// Writes the whole text to file descriptor 1, retrying partial writes and
// interrupted calls. Failure aborts the call with
// "failed printing to stdout: <system error text>".
void write_stdout(const std::string& text);

// Where the solver's progress lines go: write(context, line) once per line.
// The default writes to file descriptor 1; a host can wrap that (the Python
// binding releases its interpreter lock around the write, so that a thread of
// its own can drain a pipe behind the descriptor).
void write_stdout_line(void* context, const std::string& line);  // write_stdout(line)
struct ProgressSink {
  void (*write)(void* context, const std::string& line) = &write_stdout_line;
  void* context = nullptr;
};

}  // namespace zandrel
