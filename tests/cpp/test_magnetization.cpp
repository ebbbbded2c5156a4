// The relaxed fixed-point solver on its own: the iteration replayed with the
// direct field driver, the progress lines on file descriptor 1, and the
// checks of its internal inputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/direct/direct.hpp"
#include "core/errors.hpp"
#include "core/mesh/mesh.hpp"
#include "core/solver/magnetization.hpp"
#include "core/solver/progress.hpp"

namespace zandrel {
namespace {

// Runs fn with file descriptor 1 redirected into a pipe; returns what was written.
template <class Fn>
std::string capture_stdout(Fn&& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return "<pipe failed>";
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(fds[1], STDOUT_FILENO);
  ::close(fds[1]);
  try {
    fn();
  } catch (...) {
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fds[0]);
    throw;
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  return out;
}

// Two positively oriented tetrahedra sharing the face (1, 2, 3).
struct TwoTets {
  std::vector<Vec3> nodes{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.9, 0.8, 0.7}};
  std::vector<Element> connectivity{{0, 1, 2, 3}, {1, 4, 2, 3}};
  Columns centroids;
  Columns hext;

  TwoTets() : centroids(2), hext(2) {
    std::vector<Vec3> c(2);
    zandrel::centroids(nodes, connectivity, c);
    for (std::size_t i = 0; i < 2; ++i) {
      centroids.x[i] = c[i].x, centroids.y[i] = c[i].y, centroids.z[i] = c[i].z;
    }
    hext.x = {0.1, -0.4};
    hext.y = {0.3, 0.2};
    hext.z = {1.0, 0.7};
  }
};

TEST(Magnetization, ReplaysTheRelaxedIterationBitForBit) {
  const TwoTets mesh;
  const double chi = 1.7, alpha = 0.6;
  const std::uint32_t iterations = 4;

  std::vector<Vec3> m(2);
  for (std::size_t i = 0; i < 2; ++i) m[i] = Vec3{mesh.hext.x[i], mesh.hext.y[i], mesh.hext.z[i]} * chi;
  Columns h(2);
  std::string expected;
  for (std::uint32_t k = 0; k < iterations; ++k) {
    h = Columns(2);
    h_mag_tet4_direct_parallel(mesh.nodes, mesh.connectivity, m, mesh.centroids, h, 1, false);
    double change = 0.0;
    for (std::size_t i = 0; i < 2; ++i) {
      const double t[3] = {(h.x[i] + mesh.hext.x[i]) * chi, (h.y[i] + mesh.hext.y[i]) * chi,
                           (h.z[i] + mesh.hext.z[i]) * chi};
      double* c[3] = {&m[i].x, &m[i].y, &m[i].z};
      for (int a = 0; a < 3; ++a) {
        change = std::max(change, std::fabs(*c[a] - t[a]));
        *c[a] = t[a] * alpha + *c[a] * (1.0 - alpha);
      }
    }
    expected += progress_line(k, change);
  }

  MagnetizationResult result;
  const std::string out = capture_stdout([&] {
    result = magnetization(mesh.nodes, mesh.connectivity, mesh.centroids, chi, mesh.hext, Tet4Direct{0}, -1.0,
                           iterations, alpha, false);
  });
  EXPECT_EQ(out, expected);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(result.m[i].x, m[i].x);
    EXPECT_EQ(result.m[i].y, m[i].y);
    EXPECT_EQ(result.m[i].z, m[i].z);
    EXPECT_EQ(result.h.x[i], h.x[i] + mesh.hext.x[i]);
    EXPECT_EQ(result.h.y[i], h.y[i] + mesh.hext.y[i]);
    EXPECT_EQ(result.h.z[i], h.z[i] + mesh.hext.z[i]);
  }
}

TEST(Magnetization, NanChangesNeverCountAndNanTolNeverStops) {
  TwoTets mesh;
  mesh.hext.y[1] = std::nan("");
  MagnetizationResult result;
  const std::string out = capture_stdout([&] {
    result = magnetization(mesh.nodes, mesh.connectivity, mesh.centroids, 0.0, mesh.hext, Tet4Direct{1},
                           std::nan(""), 3, 1.0, true);
  });
  // chi = 0: every finite difference is 0 and the NaN ones are skipped.
  EXPECT_EQ(out, "Iteration: 0; max change: 0.000e0\nIteration: 1; max change: 0.000e0\n"
                 "Iteration: 2; max change: 0.000e0\n");
  EXPECT_TRUE(std::isnan(result.h.y[1]));
}

// hext is read column by column per element: the first short column is named.
TEST(Magnetization, ShortAppliedFieldColumnAbortsBeforeAnyLine) {
  TwoTets mesh;
  mesh.hext.z.resize(1);
  std::string message;
  const std::string out = capture_stdout([&] {
    try {
      magnetization(mesh.nodes, mesh.connectivity, mesh.centroids, 1.0, mesh.hext, Tet4Direct{0}, 0.0, 5, 1.0,
                    false);
    } catch (const Panic& failure) {
      message = failure.what();
    }
  });
  EXPECT_EQ(message, "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(out, "");
}

TEST(Magnetization, CentroidsMustMatchElements) {
  TwoTets mesh;
  mesh.centroids.y.resize(3);
  try {
    magnetization(mesh.nodes, mesh.connectivity, mesh.centroids, 1.0, mesh.hext, Tet4Direct{0}, 0.0, 5, 1.0, false);
    FAIL() << "no abort";
  } catch (const Panic& failure) {
    EXPECT_STREQ(failure.what(), "assertion `left == right` failed\n  left: 3\n right: 2");
  }
}

TEST(Magnetization, OctreeOverNoElementsAborts) {
  const std::vector<Vec3> nodes;
  const std::vector<Element> connectivity;
  const Columns none(0);
  try {
    magnetization(nodes, connectivity, none, 1.0, none, Tet4Octree{0, 0.5, 1}, 0.0, 5, 1.0, false);
    FAIL() << "no abort";
  } catch (const Panic& failure) {
    EXPECT_STREQ(failure.what(), "called `Option::unwrap()` on a `None` value");
  }
}

}  // namespace
}  // namespace zandrel
