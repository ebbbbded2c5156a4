// The operator's multipole algebra (direct and rotated translations) against
// the point-dipole kernel, its quadrature rules against exact moments, the
// same bits from every instruction-set build, and the piece runner and its interruption.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/dispatch/dispatch.hpp"
#include "core/kernels/point_dipole.hpp"
#include "core/operator/field_operator.hpp"
#include "core/operator/harmonics.hpp"
#include "core/interrupt.hpp"
#include "core/operator/pieces.hpp"
#include "core/operator/tet_quadrature.hpp"
#include "core/operator/translation_tables.hpp"
#include "core/operator/translations.hpp"
#include "test_support.hpp"

namespace zandrel {
namespace {

using W = simd::V1;
using Triangle = std::array<W, harmonics::count(harmonics::max_order + 1)>;

// Multipole (order p, about the origin) of one dipole d at y.
std::vector<harmonics::Complex> dipole_multipole(int p, const Vec3& y, const Vec3& d) {
  const harmonics::Recurrences rec(p - 1);
  Triangle ure, uim, are, aim;
  are.fill(W::set1(0.0));
  aim.fill(W::set1(0.0));
  harmonics::regular(rec, W::set1(y.x), W::set1(y.y), W::set1(y.z), ure.data(), uim.data());
  harmonics::add_dipole_moments(p, ure.data(), uim.data(), W::set1(d.x), W::set1(d.y), W::set1(d.z), are.data(),
                                aim.data());
  std::vector<harmonics::Complex> out(harmonics::count(p));
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = {are[k].v[0], aim[k].v[0]};
  return out;
}

// The field at x of a multipole about the origin, through its local expansion
// (orders 0 .. p) about a centre c near x.
Vec3 field_at(int p, const std::vector<harmonics::Complex>& m, const Vec3& c, const Vec3& x) {
  const harmonics::Recurrences rec(2 * p);
  std::vector<harmonics::Complex> t(harmonics::count(2 * p)), local(harmonics::count(p));
  harmonics::irregular(rec, c, t.data());
  harmonics::add_multipole_to_local(p, t.data(), m.data(), local.data());
  std::vector<double> a(6 * harmonics::count(p - 1));
  harmonics::local_field_coefficients(p, local.data(), 1.0, a.data());
  Triangle ure, uim;
  const Vec3 r = x - c;
  harmonics::regular(harmonics::Recurrences(p - 1), W::set1(r.x), W::set1(r.y), W::set1(r.z), ure.data(), uim.data());
  W hx = W::set1(0.0), hy = W::set1(0.0), hz = W::set1(0.0);
  harmonics::add_local_field(p, a.data(), ure.data(), uim.data(), hx, hy, hz);
  return {hx.v[0], hy.v[0], hz.v[0]};
}

// One rotated translation of a triangle of raw coefficients (multipole or
// local as `kind` reads and writes them) by the offset d.
std::vector<harmonics::Complex> rotated(translation::Kind kind, int p, const std::vector<harmonics::Complex>& in,
                                        const Vec3& d) {
  const bool local_in = kind == translation::local_to_local, local_out = kind != translation::multipole_to_multipole;
  Triangle re, im, out_re, out_im;
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const std::size_t k = harmonics::index(n, m);
      const double s = local_in ? 1.0 / harmonic_norm(n, m) : harmonic_norm(n, m);
      re[k] = W::set1(in[k].real() * s);
      im[k] = W::set1(in[k].imag() * s);
    }
  const double rxy = std::hypot(d.x, d.y);
  const std::vector<double> rotation = y_rotation(p, std::atan2(rxy, d.z)), z = z_translation(kind, p);
  translation::translate(kind, p, rotation.data(), z.data(), W::set1(rxy > 0 ? d.x / rxy : 1.0),
                         W::set1(rxy > 0 ? d.y / rxy : 0.0), W::set1(mag(d)), re.data(), im.data(), out_re.data(),
                         out_im.data());
  std::vector<harmonics::Complex> out(harmonics::count(p));
  for (int n = 1; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      const std::size_t k = harmonics::index(n, m);
      const double s = local_out ? harmonic_norm(n, m) : 1.0 / harmonic_norm(n, m);
      out[k] = {out_re[k].v[0] * s, out_im[k].v[0] * s};
    }
  return out;
}

double max_difference_above_degree_zero(const std::vector<harmonics::Complex>& a,
                                        const std::vector<harmonics::Complex>& b) {
  double worst = 0.0, scale = 0.0;
  for (std::size_t k = 1; k < a.size(); ++k) {
    worst = std::max(worst, std::abs(a[k] - b[k]));
    scale = std::max(scale, std::abs(b[k]));
  }
  return worst / scale;
}

TEST(OperatorHarmonics, ExpansionConvergesToTheDipoleField) {
  const Vec3 y{0.1, -0.2, 0.15}, d{0.3, 0.5, -0.7}, x{2.0, 1.0, -1.5};
  const Vec3 exact = h_point_dipole(y, d, 0.0, x);
  double previous = 1.0;
  for (int p : {2, 4, 8, 12}) {
    const Vec3 h = field_at(p, dipole_multipole(p, y, d), x + Vec3{0.1, -0.1, 0.05}, x);
    const double err = mag(h - exact) / mag(exact);
    EXPECT_LT(err, previous * 0.5) << p;  // geometric convergence, ratio (|y| + |x - c|) / |c| ~ 0.16
    previous = err;
  }
  EXPECT_LT(previous, 1e-10);  // 0.16^13 ~ 4e-11
}

TEST(OperatorHarmonics, TranslatedMultipoleEqualsTheDirectOne) {
  const int p = 8;
  const Vec3 y{0.1, -0.2, 0.15}, d{0.3, 0.5, -0.7}, shift{0.3, 0.1, -0.2};
  const auto about_origin = dipole_multipole(p, y, d);
  const auto direct = dipole_multipole(p, y - shift, d);
  std::vector<harmonics::Complex> u(harmonics::count(p)), moved(harmonics::count(p));
  harmonics::regular(harmonics::Recurrences(p), Vec3{} - shift, u.data());
  harmonics::add_translated_multipole(p, u.data(), about_origin.data(), moved.data());
  for (std::size_t k = 0; k < moved.size(); ++k) EXPECT_LT(std::abs(moved[k] - direct[k]), 1e-14) << k;
}

TEST(OperatorTranslations, RotatedFormsEqualTheDirectSums) {
  const int p = 10;
  const Vec3 y{0.1, -0.2, 0.15}, d{0.3, 0.5, -0.7};
  const auto about_origin = dipole_multipole(p, y, d);
  for (const Vec3 shift : {Vec3{0.3, 0.1, -0.2}, Vec3{0.0, 0.0, 0.4}, Vec3{0.0, 0.0, -0.4}, Vec3{-0.2, 0.0, 0.0}}) {
    // Up: the multipole about `shift`.
    std::vector<harmonics::Complex> u(harmonics::count(p)), up(harmonics::count(p));
    harmonics::regular(harmonics::Recurrences(p), Vec3{} - shift, u.data());
    harmonics::add_translated_multipole(p, u.data(), about_origin.data(), up.data());
    EXPECT_LT(max_difference_above_degree_zero(rotated(translation::multipole_to_multipole, p, about_origin,
                                                       Vec3{} - shift), up), 1e-13);
    // Across: the local expansion about 5 shift + (1, 2, 2).
    const Vec3 c = shift * 5.0 + Vec3{1.0, 2.0, 2.0};
    std::vector<harmonics::Complex> t(harmonics::count(2 * p)), local(harmonics::count(p));
    harmonics::irregular(harmonics::Recurrences(2 * p), c, t.data());
    harmonics::add_multipole_to_local(p, t.data(), about_origin.data(), local.data());
    EXPECT_LT(max_difference_above_degree_zero(rotated(translation::multipole_to_local, p, about_origin, c), local),
              1e-13);
    // Down: that local moved by shift.
    std::vector<harmonics::Complex> down(harmonics::count(p));
    harmonics::regular(harmonics::Recurrences(p), shift, u.data());
    harmonics::add_translated_local(p, u.data(), local.data(), down.data());
    EXPECT_LT(max_difference_above_degree_zero(rotated(translation::local_to_local, p, local, shift), down), 1e-13);
  }
}

TEST(OperatorQuadrature, RulesIntegrateMonomialsExactly) {
  // Over the unit simplex: int x^a y^b z^c = a! b! c! / (a + b + c + 3)!, times 6 for the mean.
  const auto fact = [](int n) { double f = 1; for (int k = 2; k <= n; ++k) f *= k; return f; };
  for (int degree : {1, 3, 5, 7}) {
    const TetRule rule = grundmann_moeller_rule(degree);
    for (int a = 0; a <= degree; ++a)
      for (int b = 0; a + b <= degree; ++b)
        for (int c = 0; a + b + c <= degree; ++c) {
          double sum = 0.0;
          for (std::size_t k = 0; k < rule.weights.size(); ++k) {
            const auto& l = rule.barycentric[k];
            sum += rule.weights[k] * std::pow(l[1], a) * std::pow(l[2], b) * std::pow(l[3], c);
          }
          EXPECT_NEAR(sum, 6.0 * fact(a) * fact(b) * fact(c) / fact(a + b + c + 3), 1e-14) << degree;
        }
  }
}

// Small random tetrahedra scattered through the unit cube, positively
// oriented (the operator needs no conforming mesh).
void scattered_tetrahedra(std::size_t count, std::vector<Vec3>& nodes, std::vector<Element>& elements) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> centre(0.0, 1.0), offset(-0.04, 0.04);
  for (std::size_t e = 0; e < count; ++e) {
    const Vec3 c{centre(rng), centre(rng), centre(rng)};
    const auto first = static_cast<std::uint32_t>(nodes.size());
    for (int k = 0; k < 4; ++k) nodes.push_back(c + Vec3{offset(rng), offset(rng), offset(rng)});
    Element el{first, first + 1, first + 2, first + 3};
    const Vec3& o = nodes[first];
    if (dot(cross(nodes[first + 1] - o, nodes[first + 2] - o), nodes[first + 3] - o) < 0) std::swap(el[1], el[2]);
    elements.push_back(el);
  }
}

// Settings of the loose levels (stored near blocks, single-precision
// dipoles) or of the tight ones (exact functions, everything in double).
OperatorParams level(bool tight) {
  OperatorParams params;
  params.exact_math = tight;
  params.store_near = !tight;
  params.single_direct = !tight;
  params.target_leaf_size = tight ? 16 : 32;
  return params;
}

std::vector<double> random_magnetisations(std::size_t elements, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  std::vector<double> m(3 * elements);
  for (double& v : m) v = g(rng);
  return m;
}

Columns at_centroids(const FieldOperator& op, const std::vector<double>& m) {
  const TargetPlan plan = op.plan_rows({}, true);
  Columns out(op.n_elements());
  op.apply(plan, m, out);
  return out;
}

void expect_same_bits(const std::vector<Columns>& results, bool tight) {
  for (const Columns& r : results)
    for (std::size_t i = 0; i < r.size(); ++i)
      ASSERT_TRUE(testing::same_bits(Vec3{r.x[i], r.y[i], r.z[i]},
                                     Vec3{results[0].x[i], results[0].y[i], results[0].z[i]}))
          << "tight " << tight << " target " << i;
}

TEST(FieldOperatorBuilds, EveryInstructionSetGivesTheSameBits) {
  std::vector<Vec3> nodes;
  std::vector<Element> elements;
  scattered_tetrahedra(1500, nodes, elements);
  const std::vector<double> m = random_magnetisations(elements.size(), 5);
  for (const bool tight : {false, true}) {
    std::vector<Columns> results;
    for (const Isa isa : {Isa::portable, Isa::avx2, Isa::avx512})
      if (isa_supported(isa)) results.push_back(at_centroids(FieldOperator(nodes, elements, level(tight), 2, isa), m));
    expect_same_bits(results, tight);
  }
  // Under a memory limit, part of the leaves compute their near blocks at every application.
  OperatorParams limited = level(false);
  {
    // Room for about half of the stored blocks.
    const FieldOperator free(nodes, elements, limited, 2);
    const TargetPlan all = free.plan_rows({}, true);
    const double blocks = static_cast<double>(all.masks.size() + 2 * all.inner.size() + all.shell.size());
    const double held = static_cast<double>(free.memory_bytes() + all.memory_bytes());
    limited.max_bytes_per_element = (held - 0.5 * blocks) / static_cast<double>(elements.size());
  }
  const FieldOperator probe(nodes, elements, limited, 2);
  const TargetPlan plan = probe.plan_rows({}, true);
  ASSERT_GT(plan.computed_pairs, 0U);
  ASSERT_LT(plan.computed_pairs, plan.near_pairs);
  std::vector<Columns> results;
  for (const Isa isa : {Isa::portable, Isa::avx2, Isa::avx512})
    if (isa_supported(isa)) results.push_back(at_centroids(FieldOperator(nodes, elements, limited, 2, isa), m));
  expect_same_bits(results, false);
}

// H of a magnetised body depends on its shape, not its size: the mesh scaled
// by 2^k gives the same field for the same M, at the loose levels (single
// precision dipoles in units of the leaf) and the tight ones.
TEST(FieldOperatorBuilds, ScalingTheMeshByPowersOfTwoKeepsTheBits) {
  std::vector<Vec3> nodes;
  std::vector<Element> elements;
  scattered_tetrahedra(600, nodes, elements);
  const std::vector<double> m = random_magnetisations(elements.size(), 9);
  for (const bool tight : {false, true}) {
    std::vector<Columns> results;
    for (const int k : {0, -60, 60}) {
      std::vector<Vec3> scaled(nodes);
      for (Vec3& x : scaled) x = x * std::ldexp(1.0, k);
      results.push_back(at_centroids(FieldOperator(scaled, elements, level(tight), 2), m));
    }
    expect_same_bits(results, tight);
  }
}

TEST(Pieces, EveryPieceRunsOnceAndFailuresPropagate) {
  std::vector<int> hits(100, 0);
  run_pieces(hits.size(), 2, [](void* raw, std::size_t k) { ++(*static_cast<std::vector<int>*>(raw))[k]; }, &hits);
  for (int h : hits) EXPECT_EQ(h, 1);
  EXPECT_THROW(run_pieces(
                   10, 2, [](void*, std::size_t k) { if (k == 7) throw std::runtime_error("piece 7"); }, nullptr),
               std::runtime_error);
}

TEST(Pieces, AnInterruptSkipsTheRemainingPieces) {
  struct Counts {
    std::atomic<std::size_t> ran{0};
    std::atomic<int> checks{0};
  } counts;
  // The calling thread's check fires at its second question (after ~20 ms).
  const InterruptScope scope({[](void* raw) { return ++static_cast<Counts*>(raw)->checks >= 2; }, &counts});
  EXPECT_THROW(run_pieces(
                   10000, 2,
                   [](void* raw, std::size_t) {
                     ++static_cast<Counts*>(raw)->ran;
                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                   },
                   &counts),
               Interrupted);
  EXPECT_LT(counts.ran.load(), 10000u);
}

}  // namespace
}  // namespace zandrel
