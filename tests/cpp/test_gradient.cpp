// Mat3 and the gradient operators: the fixed operation order of the
// determinant, the inverse-transpose against the identity, exact gradients of
// linear fields on random elements in every node order, and the order of the
// index checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "core/errors.hpp"
#include "core/mat3.hpp"
#include "core/mesh/gradient.hpp"

namespace zandrel {
namespace {

using testing::panic_message;

Mat3 rows(Vec3 r0, Vec3 r1, Vec3 r2) { return Mat3{{r0, r1, r2}}; }

void expect_vec_eq(const Vec3& got, const Vec3& want) {
  EXPECT_EQ(got.x, want.x);
  EXPECT_EQ(got.y, want.y);
  EXPECT_EQ(got.z, want.z);
}

void expect_vec_near(const Vec3& got, const Vec3& want, double tol) {
  EXPECT_NEAR(got.x, want.x, tol);
  EXPECT_NEAR(got.y, want.y, tol);
  EXPECT_NEAR(got.z, want.z, tol);
}

TEST(Mat3, DeterminantOfKnownMatrices) {
  EXPECT_EQ(rows({1, 0, 0}, {0, 1, 0}, {0, 0, 1}).det(), 1.0);
  EXPECT_EQ(rows({1, 1, 0}, {0, 1, 0}, {0, 0, 1}).det(), 1.0);
  EXPECT_EQ(rows({0, 1, 0}, {1, 0, 0}, {0, 0, 1}).det(), -1.0);
  EXPECT_EQ(rows({2, 0, 0}, {0, 3, 0}, {0, 0, 4}).det(), 24.0);
  EXPECT_EQ(rows({1, 2, 3}, {4, 5, 6}, {7, 8, 10}).det(), -3.0);
  EXPECT_EQ(rows({1, 2, 3}, {2, 4, 6}, {0, 1, 0}).det(), 0.0);
}

TEST(Mat3, DeterminantSumsTheSixTermsLeftToRight) {
  // Exact determinant 1; the fixed order adds 1 to 1e16 (lost to rounding)
  // before the -1e16 term cancels the first, and so gives 0.
  const Mat3 m = rows({1e16, 1, 0}, {0, 1, 1}, {1, 1, 1});
  EXPECT_EQ(m.det(), 0.0);
}

TEST(Mat3, MulVecAndScaling) {
  Mat3 m = rows({1, 2, 3}, {4, 5, 6}, {7, 8, 9});
  expect_vec_eq(m.mul_vec({1, 0, -1}), {-2, -2, -2});
  expect_vec_eq(m.mul_vec({0.5, 0.25, 2}), {7.0, 15.25, 23.5});
  m *= 0.5;
  expect_vec_eq(m.rows[0], {0.5, 1, 1.5});
  expect_vec_eq(m.rows[1], {2, 2.5, 3});
  expect_vec_eq(m.rows[2], {3.5, 4, 4.5});
}

TEST(Mat3, InverseTransposeOfTheShearedJacobian) {
  const Mat3 it = rows({1, 1, 0}, {0, 1, 0}, {0, 0, 1}).inverse_transpose();
  expect_vec_eq(it.rows[0], {1, 0, 0});
  expect_vec_eq(it.rows[1], {-1, 1, 0});
  expect_vec_eq(it.rows[2], {0, 0, 1});
}

TEST(Mat3, InverseTransposeTimesMatrixIsIdentity) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  for (int trial = 0; trial < 200; ++trial) {
    const Mat3 m = rows({u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)});
    if (std::fabs(m.det()) < 0.1) continue;
    const Mat3 it = m.inverse_transpose();
    // (M^-T)^T M = M^-1 M = I, written with rows: sum_k it[k][i] m[k][j].
    auto entry = [](const Mat3& a, int r, int c) {
      const Vec3& row = a.rows[r];
      return c == 0 ? row.x : c == 1 ? row.y : row.z;
    };
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        double s = 0.0;
        for (int k = 0; k < 3; ++k) s += entry(it, k, i) * entry(m, k, j);
        EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-11) << "trial " << trial;
      }
    }
  }
}

TEST(Mat3, SingularMatrixGivesNonFiniteEntriesWithoutFailure) {
  const Mat3 it = rows({1, 0, 0}, {0, 1, 0}, {1, 1, 0}).inverse_transpose();
  bool any_non_finite = false;
  for (const Vec3& r : it.rows) any_non_finite |= !std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.z);
  EXPECT_TRUE(any_non_finite);
}

const std::vector<Vec3> unit_nodes = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
const std::vector<Vec3> sheared_nodes = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 0, 1}};
const std::vector<Element> one_element = {{0, 1, 2, 3}};

TEST(Gradient, UnitElementHasIdentityInverseJacobian) {
  const std::vector<Mat3> j = jmatrices(unit_nodes, one_element);
  ASSERT_EQ(j.size(), 1u);
  expect_vec_eq(j[0].rows[0], {1, 0, 0});
  expect_vec_eq(j[0].rows[1], {0, 1, 0});
  expect_vec_eq(j[0].rows[2], {0, 0, 1});
  const std::vector<double> f = {0, 1, 0, 0};
  const std::vector<Vec3> g = gvectors(one_element, f);
  expect_vec_eq(g[0], {1, 0, 0});
  expect_vec_eq(gradient(j[0], g[0]), {1, 0, 0});
}

TEST(Gradient, ShearedElementUsesTheInverseTranspose) {
  const std::vector<Mat3> j = jmatrices(sheared_nodes, one_element);
  ASSERT_EQ(j.size(), 1u);
  expect_vec_eq(j[0].rows[0], {1, 0, 0});
  expect_vec_eq(j[0].rows[1], {-1, 1, 0});
  expect_vec_eq(j[0].rows[2], {0, 0, 1});
  const std::vector<double> f_y = {0, 0, 1, 0}, f_x = {0, 1, 1, 0};
  expect_vec_eq(gradient(j[0], gvectors(one_element, f_y)[0]), {0, 1, 0});
  expect_vec_eq(gradient(j[0], gvectors(one_element, f_x)[0]), {1, 0, 0});
}

TEST(Gradient, FlatElementGivesNonFiniteGradientWithoutFailure) {
  const std::vector<Vec3> flat = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  const std::vector<Mat3> j = jmatrices(flat, one_element);
  const std::vector<double> f = {0, 1, 2, 3};
  const Vec3 grad = gradient(j[0], gvectors(one_element, f)[0]);
  EXPECT_FALSE(std::isfinite(grad.x) && std::isfinite(grad.y) && std::isfinite(grad.z));
}

TEST(Gradient, EmptyElementsGiveEmptyResults) {
  EXPECT_TRUE(jmatrices(unit_nodes, {}).empty());
  EXPECT_TRUE(gvectors({}, std::vector<double>{1.0}).empty());
}

// Random well-shaped elements, a random linear field f = c + a . x: every one
// of the 24 node orders gives a back to rounding, and the determinant of the
// Jacobian changes sign with the parity of the order.
TEST(Gradient, ExactForLinearFieldsInEveryNodeOrder) {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<Vec3> nodes;
    const Vec3 base{u(rng) * 5, u(rng) * 5, u(rng) * 5};
    const double size = std::exp(3 * u(rng));  // 0.05 .. 20
    const std::array<Vec3, 4> shape = {Vec3{0, 0, 0}, Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    for (const Vec3& s : shape) nodes.push_back(base + (s + Vec3{0.3 * u(rng), 0.3 * u(rng), 0.3 * u(rng)}) * size);
    const Vec3 a{u(rng), u(rng), u(rng)};
    const double c = u(rng);
    std::vector<double> f;
    for (const Vec3& p : nodes) f.push_back(c + dot(a, p));

    Element perm = {0, 1, 2, 3};
    const double det0 = Mat3{{nodes[1] - nodes[0], nodes[2] - nodes[0], nodes[3] - nodes[0]}}.det();
    do {
      const std::vector<Element> element = {perm};
      const Mat3 j = jmatrices(nodes, element)[0];
      const Vec3 grad = gradient(j, gvectors(element, f)[0]);
      const double scale = std::max({std::fabs(a.x), std::fabs(a.y), std::fabs(a.z)});
      expect_vec_near(grad, a, 1e-10 * scale);
      // Parity of the permutation from the count of inversions.
      int inversions = 0;
      for (int i = 0; i < 4; ++i)
        for (int k = i + 1; k < 4; ++k) inversions += perm[i] > perm[k];
      // det(J^-T) = 1 / det(J), and det(J) = +-det0 with the parity's sign.
      const double det_j = 1.0 / j.det();
      EXPECT_NEAR(det_j, inversions % 2 ? -det0 : det0, 1e-9 * std::fabs(det0));
    } while (std::next_permutation(perm.begin(), perm.end()));
  }
}

TEST(Gradient, JmatricesChecksIndicesInOrderABCD) {
  const std::vector<Element> elements = {{0, 1, 2, 3}, {0, 9, 6, 4}};
  EXPECT_EQ(panic_message([&] { jmatrices(unit_nodes, elements); }),
            "index out of bounds: the len is 4 but the index is 9");
  const std::vector<Element> at_d = {{3, 2, 1, 4}};
  EXPECT_EQ(panic_message([&] { jmatrices(unit_nodes, at_d); }),
            "index out of bounds: the len is 4 but the index is 4");
}

TEST(Gradient, GvectorsReadsBBeforeA) {
  const std::vector<double> f = {0, 1, 2, 3};
  const std::vector<Element> b_then_a = {{0, 1, 2, 3}, {5, 7, 8, 9}};
  EXPECT_EQ(panic_message([&] { gvectors(b_then_a, f); }), "index out of bounds: the len is 4 but the index is 7");
  const std::vector<Element> a_then_c = {{6, 1, 5, 0}};
  EXPECT_EQ(panic_message([&] { gvectors(a_then_c, f); }), "index out of bounds: the len is 4 but the index is 6");
  const std::vector<Element> only_d = {{0, 1, 2, 8}};
  EXPECT_EQ(panic_message([&] { gvectors(only_d, f); }), "index out of bounds: the len is 4 but the index is 8");
}

}  // namespace
}  // namespace zandrel
