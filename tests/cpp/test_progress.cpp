// The progress line of the magnetisation solver: number format and the raw
// write to file descriptor 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/errors.hpp"
#include "core/solver/progress.hpp"

namespace zandrel {
namespace {

struct FormatCase {
  double value;
  const char* text;
};

class FormatChange : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatChange, MatchesExpectedText) { EXPECT_EQ(format_change(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    DocumentedExamples, FormatChange,
    ::testing::Values(FormatCase{0.00123, "1.230e-3"}, FormatCase{1e-7, "1.000e-7"},
                      FormatCase{12345.678, "1.235e4"}, FormatCase{2.0, "2.000e0"}, FormatCase{0.0, "0.000e0"},
                      FormatCase{std::numeric_limits<double>::infinity(), "inf"}));

INSTANTIATE_TEST_SUITE_P(
    SignsAndSpecials, FormatChange,
    ::testing::Values(FormatCase{-0.00123, "-1.230e-3"}, FormatCase{-2.0, "-2.000e0"},
                      FormatCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      FormatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      FormatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

INSTANTIATE_TEST_SUITE_P(
    Exponents, FormatChange,
    ::testing::Values(FormatCase{1e300, "1.000e300"}, FormatCase{1.7976931348623157e308, "1.798e308"},
                      FormatCase{1e-10, "1.000e-10"}, FormatCase{2.2250738585072014e-308, "2.225e-308"},
                      FormatCase{5e-324, "4.941e-324"}, FormatCase{10.0, "1.000e1"},
                      FormatCase{100.0, "1.000e2"}, FormatCase{0.5, "5.000e-1"}));

// Exactly representable ties round to the even last digit; values whose
// decimal spelling looks like a tie round by their exact binary value.
INSTANTIATE_TEST_SUITE_P(
    Rounding, FormatChange,
    ::testing::Values(FormatCase{1.0625, "1.062e0"}, FormatCase{1.1875, "1.188e0"},
                      FormatCase{12.125, "1.212e1"}, FormatCase{12.375, "1.238e1"},
                      FormatCase{1012.5, "1.012e3"}, FormatCase{1013.5, "1.014e3"},
                      FormatCase{1.0005, "1.000e0"},   // 1.000499999...
                      FormatCase{1.0015, "1.002e0"},   // 1.001500000...06
                      FormatCase{9.9995, "9.999e0"},   // 9.999499999...
                      FormatCase{9.99951, "1.000e1"})); // carries into the exponent

TEST(ProgressLine, Layout) {
  EXPECT_EQ(progress_line(0, 0.0), "Iteration: 0; max change: 0.000e0\n");
  EXPECT_EQ(progress_line(17, 0.00123), "Iteration: 17; max change: 1.230e-3\n");
  EXPECT_EQ(progress_line(4294967294ULL, 12345.678), "Iteration: 4294967294; max change: 1.235e4\n");
}

// Swaps file descriptor 1 for another descriptor for the lifetime of the object.
class StdoutSwap {
 public:
  explicit StdoutSwap(int replacement) : saved_(::dup(STDOUT_FILENO)) { ::dup2(replacement, STDOUT_FILENO); }
  ~StdoutSwap() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutSwap(const StdoutSwap&) = delete;
  StdoutSwap& operator=(const StdoutSwap&) = delete;

 private:
  int saved_;
};

TEST(WriteStdout, WritesWholeTextToDescriptorOne) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text = progress_line(3, 1e-7) + progress_line(4, 0.0);
  {
    StdoutSwap swap(fds[1]);
    write_stdout(text);
  }
  ::close(fds[1]);
  std::string got;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  EXPECT_EQ(got, "Iteration: 3; max change: 1.000e-7\nIteration: 4; max change: 0.000e0\n");
}

TEST(WriteStdout, FailureAbortsWithSystemErrorText) {
  // The read end of a pipe cannot be written: EBADF.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string message;
  {
    StdoutSwap swap(fds[0]);
    try {
      write_stdout("x\n");
    } catch (const Panic& failure) {
      message = failure.what();
    }
  }
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(message, "failed printing to stdout: Bad file descriptor");
}

}  // namespace
}  // namespace zandrel
