// Maxwell stress and surface forces against their worked values, the count
// assertions, and the Kelvin force density against linear fields whose
// gradient is known, with its failures in their stated order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "core/errors.hpp"
#include "core/mesh/forces.hpp"
#include "core/mesh/gradient.hpp"
#include "core/mesh/mesh.hpp"

namespace zandrel {
namespace {

using testing::panic_message;

std::string assertion(std::size_t left, std::size_t right) {
  return "assertion `left == right` failed\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
}

void expect_vec_eq(const Vec3& got, const Vec3& want) {
  EXPECT_EQ(got.x, want.x);
  EXPECT_EQ(got.y, want.y);
  EXPECT_EQ(got.z, want.z);
}

TEST(MaxwellStress, InverseMu0Constant) {
  EXPECT_NEAR(inv_mu0, 1.0 / (4e-7 * std::numbers::pi), 1e-9);
  std::uint64_t bits;
  std::memcpy(&bits, &inv_mu0, sizeof bits);
  EXPECT_EQ(bits, 0x412848FD6E50B45CULL);
}

TEST(MaxwellStress, ZeroFieldGivesZeroTensor) {
  const std::vector<Mat3> t = maxwell_stress_tensor(std::vector<double>{0, 0, 0});
  ASSERT_EQ(t.size(), 1u);
  for (const Vec3& r : t[0].rows) expect_vec_eq(r, {0, 0, 0});
}

TEST(MaxwellStress, AxialFieldIsTensionAlongAndPressureAcross) {
  const std::vector<Mat3> t = maxwell_stress_tensor(std::vector<double>{0, 0, 1});
  expect_vec_eq(t[0].rows[0], {-397887.35772973835, 0, 0});
  expect_vec_eq(t[0].rows[1], {0, -397887.35772973835, 0});
  expect_vec_eq(t[0].rows[2], {0, 0, 397887.35772973835});
}

TEST(MaxwellStress, TensorIsSymmetricWithTraceMinusHalfB2OverMu0) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  std::vector<double> b(300);
  for (double& v : b) v = u(rng);
  const std::vector<Mat3> t = maxwell_stress_tensor(b);
  ASSERT_EQ(t.size(), 100u);
  for (std::size_t i = 0; i < t.size(); ++i) {
    const Vec3 bi{b[3 * i], b[3 * i + 1], b[3 * i + 2]};
    EXPECT_EQ(t[i].rows[0].y, t[i].rows[1].x);
    EXPECT_EQ(t[i].rows[0].z, t[i].rows[2].x);
    EXPECT_EQ(t[i].rows[1].z, t[i].rows[2].y);
    const double trace = t[i].rows[0].x + t[i].rows[1].y + t[i].rows[2].z;
    EXPECT_NEAR(trace, -0.5 * dot(bi, bi) * inv_mu0, 1e-9 * dot(bi, bi) * inv_mu0);
    // T b = (|B|^2 / 2 mu0) b: the field direction is an eigenvector.
    const Vec3 tb = t[i].mul_vec(bi);
    const double lambda = 0.5 * dot(bi, bi) * inv_mu0;
    EXPECT_NEAR(tb.x, lambda * bi.x, 1e-9 * lambda * mag(bi));
    EXPECT_NEAR(tb.y, lambda * bi.y, 1e-9 * lambda * mag(bi));
    EXPECT_NEAR(tb.z, lambda * bi.z, 1e-9 * lambda * mag(bi));
  }
}

TEST(MaxwellStress, TrailingValuesAreIgnored) {
  EXPECT_EQ(maxwell_stress_tensor(std::vector<double>(7, 1.0)).size(), 2u);
  EXPECT_TRUE(maxwell_stress_tensor(std::vector<double>{1.0, 2.0}).empty());
}

struct ForceCase {
  Vec3 b;
  Vec3 normal;
  double area;
  Vec3 force;
};

class SurfaceForceValues : public ::testing::TestWithParam<ForceCase> {};

TEST_P(SurfaceForceValues, MatchToTheBit) {
  const ForceCase& c = GetParam();
  const std::vector<Mat3> t = maxwell_stress_tensor(std::vector<double>{c.b.x, c.b.y, c.b.z});
  const std::vector<Vec3> f =
      surface_forces(std::vector<double>{c.area}, std::vector<double>{c.normal.x, c.normal.y, c.normal.z}, t);
  ASSERT_EQ(f.size(), 1u);
  expect_vec_eq(f[0], c.force);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedValues, SurfaceForceValues,
    ::testing::Values(ForceCase{{0, 0, 0}, {0, 0, 1}, 1.0, {0, 0, 0}},
                      ForceCase{{0, 0, 1}, {0, 0, 1}, 1.0, {0, 0, 397887.35772973835}},
                      ForceCase{{1, 0, 0}, {0, 0, 1}, 1.0, {0, 0, -397887.35772973835}},
                      ForceCase{{0, 0, 2}, {0, 0, 1}, 0.5, {0, 0, 795774.7154594767}},
                      ForceCase{{1, 2, 3}, {0, 0, 1}, 2.0, {4774648.29275686, 9549296.58551372, 3183098.8618379068}}));

TEST(MaxwellStress, MagnitudeUsesFusedMultiplyAdds) {
  // |B| for this B is 1.769974293598639 with the two fused multiply-adds and
  // 1.7699742935986387 with a plain sum of squares; the diagonal shows which
  // (expected values from exact rational arithmetic, rounded once per step).
  const std::vector<Mat3> t = maxwell_stress_tensor(std::vector<double>{0.508, 0.928, 1.419});
  EXPECT_EQ(t[0].rows[0].x, -1041144.2891116097);
  EXPECT_EQ(t[0].rows[1].y, -561196.6427236901);
  EXPECT_EQ(t[0].rows[2].z, 355835.8365533553);
}

TEST(SurfaceForces, CountsAreAssertedNormalsFirst) {
  const std::vector<Mat3> one = maxwell_stress_tensor(std::vector<double>{0, 0, 1});
  const std::vector<Mat3> two = maxwell_stress_tensor(std::vector<double>{0, 0, 1, 1, 0, 0});
  const std::vector<double> areas = {1, 1};
  EXPECT_EQ(panic_message([&] { surface_forces(areas, std::vector<double>(9, 0.0), two); }), assertion(2, 3));
  EXPECT_EQ(panic_message([&] { surface_forces(areas, std::vector<double>(9, 0.0), one); }), assertion(2, 3));
  EXPECT_EQ(panic_message([&] { surface_forces(areas, std::vector<double>(6, 0.0), one); }), assertion(2, 1));
  EXPECT_EQ(panic_message([&] { surface_forces(areas, std::vector<double>(8, 0.0), two); }), "no panic");
  EXPECT_TRUE(surface_forces({}, {}, {}).empty());
}

const std::vector<Vec3> unit_nodes = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
const std::vector<Element> unit_element = {{0, 1, 2, 3}};

Columns node_field(std::vector<Vec3> values) {
  Columns h(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) h.x[i] = values[i].x, h.y[i] = values[i].y, h.z[i] = values[i].z;
  return h;
}

Vec3 row(const Columns& c, std::size_t i) { return {c.x[i], c.y[i], c.z[i]}; }

TEST(KelvinForceDensity, UnitElementComponents) {
  const Columns h_x = node_field({{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, {0, 0, 0}});  // H = (x, 0, 0)
  const Columns h_y = node_field({{0, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 0, 0}});  // H = (0, x, 0)
  const std::vector<Vec3> mx = {{1, 0, 0}}, my = {{0, 1, 0}};
  expect_vec_eq(row(kelvin_force_density(unit_nodes, unit_element, 1, mx, h_x), 0), {1, 0, 0});
  expect_vec_eq(row(kelvin_force_density(unit_nodes, unit_element, 1, my, h_x), 0), {0, 0, 0});
  expect_vec_eq(row(kelvin_force_density(unit_nodes, unit_element, 1, mx, h_y), 0), {0, 1, 0});
}

// A random box of random positively and negatively oriented elements, H = H0
// + G x at the nodes: every element gives (M . grad) H = G M.
TEST(KelvinForceDensity, LinearFieldGivesGradientTimesM) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Vec3> nodes(60);
  for (Vec3& p : nodes) p = {u(rng), u(rng), u(rng)};
  std::uniform_int_distribution<std::uint32_t> pick(0, 59);
  std::vector<Element> elements;
  std::vector<Vec3> m;
  while (elements.size() < 200) {
    const Element e = {pick(rng), pick(rng), pick(rng), pick(rng)};
    const auto [a, b, c, d] = element_nodes(nodes, e);
    if (std::fabs(dot(b - a, cross(c - a, d - a))) < 1e-2) continue;  // keep them well shaped
    elements.push_back(e);
    m.push_back({u(rng), u(rng), u(rng)});
  }
  const Mat3 g{{Vec3{u(rng), u(rng), u(rng)}, Vec3{u(rng), u(rng), u(rng)}, Vec3{u(rng), u(rng), u(rng)}}};
  const Vec3 h0{u(rng), u(rng), u(rng)};
  std::vector<Vec3> h;
  for (const Vec3& p : nodes) h.push_back(h0 + g.mul_vec(p));
  const Columns f = kelvin_force_density(nodes, elements, elements.size(), m, node_field(h));
  ASSERT_EQ(f.size(), elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const Vec3 want = g.mul_vec(m[i]);
    EXPECT_NEAR(f.x[i], want.x, 1e-9) << i;
    EXPECT_NEAR(f.y[i], want.y, 1e-9) << i;
    EXPECT_NEAR(f.z[i], want.z, 1e-9) << i;
  }
  // A uniform field gives zero force density.
  const Columns zero = kelvin_force_density(nodes, elements, elements.size(), m,
                                            node_field(std::vector<Vec3>(nodes.size(), h0)));
  for (std::size_t i = 0; i < zero.size(); ++i) expect_vec_eq(row(zero, i), {0, 0, 0});
}

TEST(KelvinForceDensity, OnlyTheFirstCountElementsAreUsed) {
  const std::vector<Element> two = {{0, 1, 2, 3}, {3, 2, 1, 0}};
  const Columns h = node_field({{0, 0, 0}, {1, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  const std::vector<Vec3> m = {{1, 0, 0}, {1, 0, 0}, {5, 5, 5}};
  EXPECT_EQ(kelvin_force_density(unit_nodes, two, 1, m, h).size(), 1u);
  EXPECT_EQ(kelvin_force_density(unit_nodes, two, 0, m, h).size(), 0u);
  const Columns f = kelvin_force_density(unit_nodes, two, 2, m, h);
  expect_vec_eq(row(f, 1), {1, 0, 0});
}

// Each bad input alone, then pairs in which the earlier check must win.
TEST(KelvinForceDensity, FailuresInTheirOrder) {
  const Columns h4 = node_field(std::vector<Vec3>(4));
  const Columns h3 = node_field(std::vector<Vec3>(3));
  const std::vector<Vec3> m1 = {{1, 0, 0}}, m0 = {};
  const std::vector<Element> bad_node = {{0, 1, 5, 4}};    // c = 5 first in a, b, c, d
  const std::vector<Element> bad_h = {{3, 0, 1, 2}};       // a = 3 beyond three H rows
  const std::vector<Element> read_b_first = {{4, 5, 1, 2}};
  std::vector<Vec3> six_nodes = unit_nodes;
  six_nodes.push_back({1, 1, 1});
  six_nodes.push_back({2, 1, 1});

  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, bad_node, 1, m1, h4); }),
            "index out of bounds: the len is 4 but the index is 5");
  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, bad_h, 1, m1, h3); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(panic_message([&] { kelvin_force_density(six_nodes, read_b_first, 1, m1, h4); }),
            "index out of bounds: the len is 4 but the index is 5");
  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, unit_element, 2, m1, h4); }),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, unit_element, 1, m0, h4); }),
            "index out of bounds: the len is 0 but the index is 0");

  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, bad_node, 1, m0, h3); }),
            "index out of bounds: the len is 4 but the index is 5");
  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, bad_h, 2, m0, h3); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(panic_message([&] { kelvin_force_density(unit_nodes, unit_element, 3, m0, h4); }),
            "index out of bounds: the len is 1 but the index is 1");
}

// The integral of mu0 (M . grad) H over a uniformly magnetised box in a
// field of constant gradient is mu0 V G M, whatever the element shapes.
TEST(KelvinForceDensity, BoxIntegralMatchesVolumeTimesGradientTimesM) {
  const int n = 4;
  std::vector<Vec3> nodes;
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j)
      for (int k = 0; k <= n; ++k) nodes.push_back({0.5 * i, 0.25 * j, 0.75 * k});
  auto id = [&](int i, int j, int k) { return static_cast<std::uint32_t>((i * (n + 1) + j) * (n + 1) + k); };
  std::vector<Element> elements;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k) {
        // Five tetrahedra per cell: four corners cut off and the middle one.
        const std::uint32_t c000 = id(i, j, k), c100 = id(i + 1, j, k), c010 = id(i, j + 1, k),
                            c001 = id(i, j, k + 1), c110 = id(i + 1, j + 1, k), c101 = id(i + 1, j, k + 1),
                            c011 = id(i, j + 1, k + 1), c111 = id(i + 1, j + 1, k + 1);
        elements.push_back({c000, c100, c010, c001});
        elements.push_back({c110, c010, c100, c111});
        elements.push_back({c101, c100, c001, c111});
        elements.push_back({c011, c001, c010, c111});
        elements.push_back({c100, c010, c001, c111});
      }
  const Mat3 g{{Vec3{0.2, -0.4, 1.5}, Vec3{-0.4, 0.7, 0.3}, Vec3{1.5, 0.3, -0.9}}};
  std::vector<Vec3> h;
  for (const Vec3& p : nodes) h.push_back(g.mul_vec(p));
  const Vec3 m{3.0, -1.0, 2.0};
  const std::vector<Vec3> ms(elements.size(), m);
  const Columns f = kelvin_force_density(nodes, elements, elements.size(), ms, node_field(h));
  std::vector<double> vol(elements.size());
  volumes(nodes, elements, vol);
  Vec3 total;
  double volume = 0.0;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    total += row(f, i) * vol[i];
    volume += vol[i];
  }
  EXPECT_NEAR(volume, 2.0 * 1.0 * 3.0, 1e-12);
  const Vec3 want = g.mul_vec(m) * volume;
  EXPECT_NEAR(total.x, want.x, 1e-11);
  EXPECT_NEAR(total.y, want.y, 1e-11);
  EXPECT_NEAR(total.z, want.z, 1e-11);
}

}  // namespace
}  // namespace zandrel
