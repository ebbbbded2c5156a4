// Tetrahedron kernels: reference values, geometric invariants, the claim
// that shared per-element quantities reproduce the per-face primitives bit
// for bit, every build against the portable one at every target position,
// the single-target forms against the vector lanes, and the failures of the
// direct sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/direct/direct.hpp"
#include "core/direct/element_sums.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/kernels/current_tet4.hpp"
#include "core/kernels/magnetised_tet4.hpp"
#include "core/kernels/tet4_edges.hpp"
#include "core/kernels/tet4_faces.hpp"

namespace zandrel {
namespace {

using Nodes = std::array<Vec3, 4>;
const double s2 = 1.0 / std::sqrt(2.0);
// Positively oriented regular tetrahedron of edge length 2.
const Nodes regular = {Vec3{-1.0, 0.0, -s2}, Vec3{1.0, 0.0, -s2}, Vec3{0.0, 1.0, s2}, Vec3{0.0, -1.0, s2}};
const Vec3 reference_vector{0.3, -0.2, 1.0};

bool same_value(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof(double)) == 0;
}
bool same_vec(const Vec3& a, const Vec3& b) { return same_value(a.x, b.x) && same_value(a.y, b.y) && same_value(a.z, b.z); }

// Columns with a single target.
Columns one_target(const Vec3& r) {
  Columns t(1);
  t.x[0] = r.x, t.y[0] = r.y, t.z[0] = r.z;
  return t;
}
Vec3 row(const Columns& c, std::size_t i) { return {c.x[i], c.y[i], c.z[i]}; }

enum class Kind { mag_face, mag_edge, current_face, current_edge };
const Kind all_kinds[] = {Kind::mag_face, Kind::mag_edge, Kind::current_face, Kind::current_edge};
const char* kind_name(Kind k) {
  switch (k) {
    case Kind::mag_face: return "magnetised, face";
    case Kind::mag_edge: return "magnetised, edge";
    case Kind::current_face: return "current, face";
    default: return "current, edge";
  }
}
bool is_edge(Kind k) { return k == Kind::mag_edge || k == Kind::current_edge; }
bool is_mag(Kind k) { return k == Kind::mag_face || k == Kind::mag_edge; }

// A mesh in both the record form (magnetic) and the flat form (current).
struct Mesh {
  std::vector<Vec3> nodes;
  std::vector<Element> elements;
  std::vector<Vec3> vectors;

  std::span<const double> nodes_flat() const { return {&nodes[0].x, 3 * nodes.size()}; }
  std::span<const std::uint32_t> elements_flat() const { return {elements[0].data(), 4 * elements.size()}; }
  std::span<const double> vectors_flat() const { return {&vectors[0].x, 3 * vectors.size()}; }
};

void add_element(Mesh& m, const Nodes& n, const Vec3& v) {
  const auto base = static_cast<std::uint32_t>(m.nodes.size());
  for (const Vec3& p : n) m.nodes.push_back(p);
  m.elements.push_back({base, base + 1, base + 2, base + 3});
  m.vectors.push_back(v);
}

Mesh single(const Nodes& n, const Vec3& v) {
  Mesh m;
  add_element(m, n, v);
  return m;
}

// Well-shaped random elements: a regular tetrahedron scaled, rotated (by a
// random orthonormal frame with determinant +1) and moved.
Nodes random_element(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0), scale(0.2, 0.6), jitter(-0.15, 0.15);
  Vec3 a{u(rng), u(rng), u(rng)};
  a = a / mag(a);
  Vec3 b{u(rng), u(rng), u(rng)};
  b = b - a * dot(a, b);
  b = b / mag(b);
  const Vec3 c = cross(a, b);
  const Vec3 centre{u(rng), u(rng), u(rng)};
  const double k = scale(rng);
  Nodes n;
  for (std::size_t i = 0; i < 4; ++i) {
    const Vec3& p = regular[i];
    n[i] = centre + (a * p.x + b * p.y + c * p.z) * k + Vec3{jitter(rng), jitter(rng), jitter(rng)} * k;
  }
  return n;
}

Mesh random_mesh(std::size_t elements, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Mesh m;
  for (std::size_t e = 0; e < elements; ++e) add_element(m, random_element(rng), {u(rng), u(rng), u(rng)});
  return m;
}

// Random targets plus the awkward ones: on a vertex, an edge midpoint, a
// face centroid, the element centroid, the supporting line of an edge
// beyond its end, and exactly on a face plane outside the face.
Columns awkward_targets(const Mesh& m, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.6, 1.6);
  std::vector<Vec3> pts;
  const Vec3 *a = &m.nodes[0], *b = &m.nodes[1], *c = &m.nodes[2], *d = &m.nodes[3];
  pts.push_back(*a);
  pts.push_back((*a + *b) * 0.5);
  pts.push_back(((*a + *b) + *c) * (1.0 / 3.0));
  pts.push_back((((*a + *b) + *c) + *d) * 0.25);
  pts.push_back(*b + (*b - *a));
  pts.push_back(*a + (*a - *b) * 0.5);
  pts.push_back(*c + ((*c - *a) + (*c - *b)));
  while (pts.size() < n) pts.push_back({u(rng), u(rng), u(rng)});
  Columns t(pts.size());
  for (std::size_t i = 0; i < pts.size(); ++i) t.x[i] = pts[i].x, t.y[i] = pts[i].y, t.z[i] = pts[i].z;
  return t;
}

void run_serial(Kind k, const Mesh& m, TargetSpan t, OutSpan out, Isa isa) {
  if (is_mag(k))
    h_mag_tet4_direct(m.nodes, m.elements, m.vectors, t, out, is_edge(k), isa);
  else
    h_current_tet4_direct(m.nodes_flat(), m.elements_flat(), m.vectors_flat(), t, out, is_edge(k), isa);
}

void run_parallel(Kind k, const Mesh& m, const Columns& t, Columns& out, std::uint32_t nthreads) {
  if (is_mag(k))
    h_mag_tet4_direct_parallel(m.nodes, m.elements, m.vectors, t, out, nthreads, is_edge(k));
  else
    h_field_tet4_direct_parallel(m.nodes_flat(), m.elements_flat(), m.vectors_flat(), t, out, nthreads, is_edge(k));
}

Vec3 field_at(Kind k, const Mesh& m, const Vec3& r) {
  const Columns t = one_target(r);
  Columns out(1);
  run_serial(k, m, t.span(), out.out(0), best_isa());
  return row(out, 0);
}

void expect_near_vec(const Vec3& got, const Vec3& want, double tol) {
  EXPECT_NEAR(got.x, want.x, tol);
  EXPECT_NEAR(got.y, want.y, tol);
  EXPECT_NEAR(got.z, want.z, tol);
}

TEST(Tet4, ReferenceValuesOfTheRegularTetrahedron) {
  const Mesh m = single(regular, reference_vector);
  const Vec3 near{0.1, 0.2, 0.05}, far{2.0, 1.0, 0.5};
  expect_near_vec(field_at(Kind::mag_face, m, near), {-0.161585, 0.165758, -0.380753}, 1e-6);
  expect_near_vec(field_at(Kind::mag_face, m, far), {0.0045605, 0.0045180, -0.0044469}, 1e-7);
  expect_near_vec(field_at(Kind::current_face, m, near), {-0.063070, 0.031713, 0.025264}, 1e-6);
  expect_near_vec(field_at(Kind::current_face, m, far), {-0.0067684, 0.0114171, 0.0043139}, 1e-7);
  expect_near_vec(field_at(Kind::mag_edge, m, near), {-0.16158, 0.16576, -0.38075}, 1e-5);
}

TEST(Tet4, DemagnetisingFieldAtTheCentreIsMinusAThird) {
  const Mesh m = single(regular, {0.0, 0.0, 1.0});
  // The face formulation is exact here to rounding; the edge formulation
  // carries the fast arctangent's error (measured 1.9e-6).
  expect_near_vec(field_at(Kind::mag_face, m, {0.0, 0.0, 0.0}), {0.0, 0.0, -1.0 / 3.0}, 1e-12);
  expect_near_vec(field_at(Kind::mag_edge, m, {0.0, 0.0, 0.0}), {0.0, 0.0, -1.0 / 3.0}, 3e-6);
}

TEST(Tet4, SolidAnglesOfTheFacesSumToFourPiInsideAndZeroOutside) {
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> w(0.05, 1.0), u(-3.0, 3.0);
  double worst_inside = 0.0, worst_outside = 0.0;
  for (int trial = 0; trial < 200; ++trial) {
    const Nodes n = random_element(rng);
    std::array<double, 4> bary = {w(rng), w(rng), w(rng), w(rng)};
    const double total = ((bary[0] + bary[1]) + bary[2]) + bary[3];
    Vec3 inside;
    for (std::size_t i = 0; i < 4; ++i) inside += n[i] * (bary[i] / total);
    const Vec3 outside{u(rng) + 4.0, u(rng), u(rng)};
    double sum_in = 0.0, sum_out = 0.0;
    for (std::size_t f = 0; f < 4; ++f) {
      const auto [i, j, k] = face_nodes(f);
      sum_in += solid_angle(n[i], n[j], n[k], inside);
      sum_out += solid_angle(n[i], n[j], n[k], outside);
    }
    worst_inside = std::max(worst_inside, std::fabs(sum_in - 4.0 * M_PI));
    worst_outside = std::max(worst_outside, std::fabs(sum_out));
  }
  // Each solid angle carries twice the fast arctangent's error (1.7e-6).
  EXPECT_LT(worst_inside, 1.4e-5);
  EXPECT_LT(worst_outside, 1.4e-5);
}

TEST(Tet4, FaceTableNormalsPointOutOfAPositiveElement) {
  const Vec3 centroid = (((regular[0] + regular[1]) + regular[2]) + regular[3]) * 0.25;
  for (std::size_t f = 0; f < 4; ++f) {
    const auto [i, j, k] = face_nodes(f);
    const Face face = precompute_face(regular[i], regular[j], regular[k]);
    EXPECT_GT(dot(face.n_hat, face.a - centroid), 0.0) << f;
    // Edge normals point into the triangle, towards its third corner.
    EXPECT_GT(dot(face.t_hat[0], face.c - face.a), 0.0);
    EXPECT_GT(dot(face.t_hat[1], face.a - face.b), 0.0);
    EXPECT_GT(dot(face.t_hat[2], face.b - face.c), 0.0);
    // The edge frames of the edge formulation share the outward normal.
    for (std::size_t e = 0; e < 3; ++e) {
      const auto [a, b, c] = tet4::face_edges[f][e];
      const EdgeFrame frame = edge_frame(regular[a], regular[b], regular[c]);
      EXPECT_NEAR(dot(frame.zhat, face.n_hat), 1.0, 1e-15);
      EXPECT_GT(dot(frame.yhat, regular[c] - regular[b]), 0.0);
    }
  }
}

// The face kernel shares vertex distances and edge logarithms between
// faces; that must give exactly the per-face primitives summed in face order.
TEST(Tet4, SharedFaceQuantitiesEqualThePerFacePrimitivesBitForBit) {
  const Mesh m = random_mesh(6, 17);
  const Columns t = awkward_targets(m, 40, 18);
  for (std::size_t e = 0; e < m.elements.size(); ++e) {
    const Nodes n = {m.nodes[4 * e], m.nodes[4 * e + 1], m.nodes[4 * e + 2], m.nodes[4 * e + 3]};
    const Vec3 v = m.vectors[e];
    const double unit = tet4_length_unit(tet4_edge_lengths(n));
    Columns hm(t.size()), hc(t.size());
    h_mag_tet4<simd::V>(n, v, t.span(), hm.out(0));
    h_current_tet4<simd::V>(n, v, t.span(), hc.out(0));
    for (std::size_t i = 0; i < t.size(); ++i) {
      const Vec3 r = row(t, i);
      Vec3 want_m, want_c;
      for (std::size_t f = 0; f < 4; ++f) {
        const auto [a, b, c] = face_nodes(f);
        const Face face = precompute_face(n[a], n[b], n[c], unit);
        const double q = dot(face.n_hat, v) * -0.07957747154594767;
        const Vec3 g = charge_potential_gradient(face, r);
        want_m.x += g.x * q, want_m.y += g.y * q, want_m.z += g.z * q;
        const Vec3 w = cross(v, face.n_hat) * 0.07957747154594767;
        const double p = charge_potential(face, r);
        want_c.x += p * w.x, want_c.y += p * w.y, want_c.z += p * w.z;
      }
      EXPECT_TRUE(same_vec(row(hm, i), want_m)) << e << " " << i;
      EXPECT_TRUE(same_vec(row(hc, i), want_c)) << e << " " << i;
    }
  }
}

TEST(Tet4, EveryBuildMatchesPortableAtEveryTargetPosition) {
  const Mesh m = random_mesh(5, 31);
  const Columns all = awkward_targets(m, 29, 32);
  for (Kind k : all_kinds) {
    for (Isa isa : {Isa::avx2, Isa::avx512}) {
      if (!isa_supported(isa)) continue;
      for (std::size_t begin = 0; begin < 9; ++begin) {
        for (std::size_t end = begin; end <= all.size(); ++end) {
          const TargetSpan t = all.span(begin, end);
          Columns ref(end - begin), got(end - begin);
          run_serial(k, m, t, ref.out(0), Isa::portable);
          run_serial(k, m, t, got.out(0), isa);
          for (std::size_t i = 0; i < ref.size(); ++i)
            ASSERT_TRUE(same_vec(row(ref, i), row(got, i)))
                << kind_name(k) << " " << isa_name(isa) << " target " << begin + i << " of piece " << begin << ".." << end;
        }
      }
    }
  }
}

// Scaling an element and its targets by a power of two scales every guard
// of the kernels with them: every build gives the unit-scale result times
// the length (current) or unchanged (magnetised), bit for bit.
TEST(Tet4, EveryBuildScalesExactlyWithAPowerOfTwo) {
  const Mesh m = random_mesh(5, 33);
  const Columns t = awkward_targets(m, 29, 34);
  for (Kind k : all_kinds) {
    Columns ref(t.size());
    run_serial(k, m, t.span(), ref.out(0), Isa::portable);
    for (const double s : {0x1p-60, 0x1p-25, 0x1p40}) {
      Mesh scaled = m;
      for (Vec3& p : scaled.nodes) p = p * s;
      Columns st(t.size());
      for (std::size_t i = 0; i < t.size(); ++i) st.x[i] = t.x[i] * s, st.y[i] = t.y[i] * s, st.z[i] = t.z[i] * s;
      const double factor = is_mag(k) ? 1.0 : s;
      for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (!isa_supported(isa)) continue;
        Columns got(t.size());
        run_serial(k, scaled, st.span(), got.out(0), isa);
        for (std::size_t i = 0; i < t.size(); ++i)
          ASSERT_TRUE(same_vec(row(got, i), row(ref, i) * factor)) << kind_name(k) << " " << isa_name(isa) << " " << s << " " << i;
      }
    }
  }
}

// A cube cut into six tetrahedra around its main diagonal, turned to a
// random orientation and uniformly magnetised: the diagonal is an edge of
// all six, and the six faces through it lie inside the cube, where the field
// is continuous. Targets placed on them by rounded arithmetic get the field
// just beside (nudged by 1e-9 of the cube's size), in every build alike.
TEST(Tet4, TargetsOnTheFacesAndEdgeInsideACubeGetTheFieldBeside) {
  std::mt19937_64 rng(27);
  const Nodes frame = random_element(rng);
  const Vec3 ex = (frame[1] - frame[0]) / mag(frame[1] - frame[0]);
  Vec3 ey = frame[2] - frame[0];
  ey = ey - ex * dot(ex, ey);
  ey = ey / mag(ey);
  const Vec3 ez = cross(ex, ey);
  const Vec3 origin = frame[0];
  const auto corner = [&](int i, int j, int k) { return ((origin + ex * double(i)) + ey * double(j)) + ez * double(k); };
  Mesh m;
  const int axes[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const auto& order : axes) {
    int step[3] = {0, 0, 0};
    Nodes n;
    n[0] = corner(0, 0, 0);
    for (int s = 0; s < 3; ++s) {
      step[order[s]] = 1;
      n[s + 1] = corner(step[0], step[1], step[2]);
    }
    if (dot(cross(n[1] - n[0], n[2] - n[0]), n[3] - n[0]) < 0.0) std::swap(n[1], n[2]);
    add_element(m, n, reference_vector);
  }
  std::vector<Vec3> on;
  const Vec3 diagonal = corner(1, 1, 1) - origin;
  for (const double t : {0.5, 0.3, 1.0 / 3.0, 0.71}) on.push_back(origin + diagonal * t);
  for (int a = 0; a < 3; ++a)  // in the face through the diagonal and a corner next to the origin
    for (const double t : {0.25, 0.6}) {
      const Vec3 side = corner(a == 0, a == 1, a == 2) - origin;
      on.push_back((origin + diagonal * (0.5 * t)) + side * (0.3 * (1.0 - t)));
    }
  const Vec3 nudge = Vec3{0.3, 0.5, 0.8} * 1e-9;
  for (Kind k : all_kinds) {
    const double tol = is_edge(k) ? 3e-5 : 1e-6;
    for (const Vec3& p : on) {
      const Vec3 here = field_at(k, m, p), beside = field_at(k, m, p + nudge);
      EXPECT_LT(mag(here - beside), tol) << kind_name(k) << " at " << p.x << " " << p.y << " " << p.z;
    }
    const Columns t = [&] {
      Columns c(on.size());
      for (std::size_t i = 0; i < on.size(); ++i) c.x[i] = on[i].x, c.y[i] = on[i].y, c.z[i] = on[i].z;
      return c;
    }();
    Columns ref(on.size());
    run_serial(k, m, t.span(), ref.out(0), Isa::portable);
    for (Isa isa : {Isa::avx2, Isa::avx512}) {
      if (!isa_supported(isa)) continue;
      Columns got(on.size());
      run_serial(k, m, t.span(), got.out(0), isa);
      for (std::size_t i = 0; i < on.size(); ++i) EXPECT_TRUE(same_vec(row(got, i), row(ref, i))) << kind_name(k);
    }
  }
}

// The single-target forms used by the octree leaves equal the lanes of
// every vector build (the output starts at zero).
TEST(Tet4, SingleTargetEdgeFormsEqualEveryVectorBuild) {
  const Mesh m = random_mesh(4, 41);
  const Columns t = awkward_targets(m, 21, 42);
  for (std::size_t e = 0; e < m.elements.size(); ++e) {
    const Nodes n = {m.nodes[4 * e], m.nodes[4 * e + 1], m.nodes[4 * e + 2], m.nodes[4 * e + 3]};
    const Mesh one = single(n, m.vectors[e]);
    for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
      if (!isa_supported(isa)) continue;
      Columns hm(t.size()), hc(t.size());
      run_serial(Kind::mag_edge, one, t.span(), hm.out(0), isa);
      run_serial(Kind::current_edge, one, t.span(), hc.out(0), isa);
      for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_TRUE(same_vec(row(hm, i), h_mag_tet4_edge_at(n, m.vectors[e], row(t, i)))) << isa_name(isa) << i;
        EXPECT_TRUE(same_vec(row(hc, i), h_current_tet4_edge_at(n, m.vectors[e], row(t, i)))) << isa_name(isa) << i;
      }
    }
  }
}

TEST(Tet4, ParallelEqualsSerialForEveryThreadCount) {
  const Mesh m = random_mesh(9, 51);
  const Columns t = awkward_targets(m, 103, 52);
  for (Kind k : all_kinds) {
    Columns serial(t.size());
    run_serial(k, m, t.span(), serial.out(0), best_isa());
    for (std::uint32_t n : {0u, 1u, 2u, 3u, 4u, 7u, 1000u}) {
      Columns par(t.size());
      run_parallel(k, m, t, par, n);
      for (std::size_t i = 0; i < t.size(); ++i)
        ASSERT_TRUE(same_vec(row(serial, i), row(par, i))) << kind_name(k) << " nthreads " << n << " target " << i;
    }
  }
}

TEST(Tet4, KernelsAddIntoTheOutputAndNeverClearIt) {
  const Mesh m = random_mesh(3, 61);
  const Columns t = awkward_targets(m, 13, 62);
  for (Kind k : all_kinds) {
    Columns fresh(t.size()), twice(t.size());
    run_parallel(k, m, t, fresh, 2);
    run_parallel(k, m, t, twice, 2);
    run_parallel(k, m, t, twice, 2);
    // A second pass starts from the first one's sums (not bit for bit 2x:
    // the additions round in a different order).
    for (std::size_t i = 0; i < t.size(); ++i) {
      EXPECT_NEAR(twice.x[i], 2.0 * fresh.x[i], 1e-12 * (1.0 + std::fabs(fresh.x[i]))) << kind_name(k);
      EXPECT_NEAR(twice.z[i], 2.0 * fresh.z[i], 1e-12 * (1.0 + std::fabs(fresh.z[i]))) << kind_name(k);
    }
  }
}

TEST(Tet4, ZeroSourceAddsExactlyNothingAndParallelCurrentFacesAreSkipped) {
  const Mesh m = single(regular, {0.0, 0.0, 0.0});
  const Columns t = awkward_targets(m, 11, 71);
  for (Kind k : all_kinds) {
    Columns out(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) out.x[i] = 1.5, out.y[i] = -2.5, out.z[i] = 0.25;
    run_parallel(k, m, t, out, 1);
    for (std::size_t i = 0; i < t.size(); ++i) {
      EXPECT_EQ(out.x[i], 1.5) << kind_name(k);
      EXPECT_EQ(out.y[i], -2.5) << kind_name(k);
      EXPECT_EQ(out.z[i], 0.25) << kind_name(k);
    }
  }
  for (std::size_t f = 0; f < 4; ++f) {
    const auto [i, j, k] = face_nodes(f);
    const Vec3 n = precompute_face(regular[i], regular[j], regular[k]).n_hat;
    const CurrentTet4 c = prepare_current_tet4(regular, n * 2.0);
    EXPECT_EQ(c.weights[f].x, 0.0);
    EXPECT_EQ(c.weights[f].y, 0.0);
    EXPECT_EQ(c.weights[f].z, 0.0);
  }
}

TEST(Tet4, ReversedOrientationNegatesTheContribution) {
  const Mesh m = random_mesh(1, 81);
  Mesh swapped = m;
  std::swap(swapped.elements[0][1], swapped.elements[0][2]);
  const Columns t = awkward_targets(m, 200, 82);
  // Worst |H + H_swapped| / |H| off the element's boundary, measured: face
  // formulation 2e-14 (magnetised), 7e-13 (current); edge formulation 1.3e-4
  // and 1.3e-3, where the per-edge terms of distant targets nearly cancel.
  for (auto [k, bound] : {std::pair{Kind::mag_face, 1e-10}, std::pair{Kind::current_face, 1e-10},
                          std::pair{Kind::mag_edge, 5e-4}, std::pair{Kind::current_edge, 5e-3}}) {
    Columns a(t.size()), b(t.size());
    run_parallel(k, m, t, a, 1);
    run_parallel(k, swapped, t, b, 1);
    // The first seven targets lie on the boundary.
    for (std::size_t i = 7; i < t.size(); ++i) {
      const double size = std::fabs(a.x[i]) + std::fabs(a.y[i]) + std::fabs(a.z[i]);
      const double diff = std::fabs(a.x[i] + b.x[i]) + std::fabs(a.y[i] + b.y[i]) + std::fabs(a.z[i] + b.z[i]);
      EXPECT_LT(diff, bound * size) << kind_name(k) << " target " << i;
    }
  }
}

TEST(Tet4, TargetsOnVerticesEdgesAndFacesStayFinite) {
  const Mesh m = single(regular, reference_vector);
  std::vector<Vec3> pts;
  for (std::size_t i = 0; i < 4; ++i) {
    pts.push_back(regular[i]);
    for (std::size_t j = i + 1; j < 4; ++j) {
      pts.push_back((regular[i] + regular[j]) * 0.5);
      pts.push_back(regular[i] * 0.3 + regular[j] * 0.7);
      pts.push_back(regular[j] + (regular[j] - regular[i]));  // on the edge line, beyond its end
    }
  }
  for (std::size_t f = 0; f < 4; ++f) {
    const auto [i, j, k] = face_nodes(f);
    pts.push_back(((regular[i] + regular[j]) + regular[k]) * (1.0 / 3.0));
  }
  for (Kind k : all_kinds)
    for (const Vec3& p : pts) {
      const Vec3 h = field_at(k, m, p);
      EXPECT_TRUE(std::isfinite(h.x) && std::isfinite(h.y) && std::isfinite(h.z))
          << kind_name(k) << " at " << p.x << " " << p.y << " " << p.z;
    }
}

TEST(Tet4, ARepeatedNodeGivesNaNAndAFlatElementAlmostNothing) {
  Nodes repeated = regular;
  repeated[3] = repeated[2];
  // Four distinct coplanar nodes: every face has an area, the charges of
  // the two pairs of overlapping faces cancel.
  const Nodes flat = {Vec3{0.0, 0.0, 0.0}, Vec3{1.0, 0.0, 0.0}, Vec3{0.0, 1.0, 0.0}, Vec3{0.6, 0.7, 0.0}};
  for (Kind k : all_kinds) {
    const Vec3 bad = field_at(k, single(repeated, reference_vector), {2.0, 1.0, 0.5});
    EXPECT_TRUE(std::isnan(bad.x) && std::isnan(bad.y) && std::isnan(bad.z)) << kind_name(k);
    const Vec3 h = field_at(k, single(flat, reference_vector), {2.0, 1.0, 0.5});
    EXPECT_LT(std::fabs(h.x) + std::fabs(h.y) + std::fabs(h.z), 1e-5) << kind_name(k);
  }
}

TEST(Tet4, EdgeIntegralGradientMatchesFiniteDifferences) {
  std::mt19937_64 rng(91);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  const double h = 1e-5;
  for (int trial = 0; trial < 300; ++trial) {
    const double x = u(rng), y = u(rng), z = u(rng);
    if (std::fabs(y) < 0.05 || std::fabs(z) < 0.05) continue;  // keep away from the kinks
    const Vec3 g = edge_integral_gradient(x, y, z);
    const double fx = (edge_integral(x + h, y, z) - edge_integral(x - h, y, z)) / (2 * h);
    const double fy = (edge_integral(x, y + h, z) - edge_integral(x, y - h, z)) / (2 * h);
    const double fz = (edge_integral(x, y, z + h) - edge_integral(x, y, z - h)) / (2 * h);
    const double tol = 2e-4 * (1.0 + std::fabs(g.x) + std::fabs(g.y) + std::fabs(g.z));
    EXPECT_NEAR(g.x, fx, tol) << x << " " << y << " " << z;
    EXPECT_NEAR(g.y, fy, tol) << x << " " << y << " " << z;
    EXPECT_NEAR(g.z, fz, tol) << x << " " << y << " " << z;
  }
  // Within 1e-8 of the edge line the gradient is dropped.
  EXPECT_TRUE(same_vec(edge_integral_gradient(0.3, 1e-9, 0.2), Vec3{}));
  EXPECT_TRUE(same_vec(edge_integral_gradient(0.3, std::nan(""), 0.2), Vec3{}));
  // At the edge end (r = 0) F is 0. On the line behind it x + r vanishes, but
  // ln(y^2 + z^2) - ln(r - x) stays finite and the common ln(0) cancels between
  // the two ends of an edge: F(-1) - F(-2) = ln 2 on the line.
  EXPECT_EQ(edge_integral(0.0, 0.0, 0.0), 0.0);
  EXPECT_EQ(edge_integral(-1.0, 0.0, 0.0), fastmath::ln(0.0) - fastmath::ln(2.0));
  EXPECT_NEAR(edge_integral(-1.0, 0.0, 0.0) - edge_integral(-2.0, 0.0, 0.0), std::log(2.0), 1e-6);
  // Near the line the difference is continuous (the old 1e-8 cut dropped it).
  EXPECT_NEAR(edge_integral(-1.0, 1e-5, 0.0) - edge_integral(-2.0, 1e-5, 0.0), std::log(2.0), 1e-6);
  // In the plane y = 0 away from the line the arctangent term takes its limit
  // (|z| - r)/x instead of vanishing: F is continuous across that plane.
  for (double x : {-1.5, -0.3, 0.4, 2.0}) {
    EXPECT_NEAR(edge_integral(x, 0.0, 0.7), edge_integral(x, 1e-7, 0.7), 1e-6) << x;
    EXPECT_NEAR(edge_integral(x, 0.0, 0.7), edge_integral(x, -1e-7, -0.7), 1e-6) << x;
  }
}

TEST(Tet4, KernelsTouchNoEntryBeyondTheirTargets) {
  const Mesh m = random_mesh(1, 151);
  const Nodes n = {m.nodes[0], m.nodes[1], m.nodes[2], m.nodes[3]};
  const Columns t = awkward_targets(m, 16, 152);
  for (std::size_t count : {std::size_t{1}, std::size_t{5}, std::size_t{9}}) {
    Columns out(t.size());
    for (double* col : {out.x.data(), out.y.data(), out.z.data()}) std::fill(col, col + t.size(), 4.0);
    const TargetSpan span = t.span(0, count);
    h_mag_tet4<simd::V>(n, m.vectors[0], span, out.out(0));
    h_current_tet4<simd::V>(n, m.vectors[0], span, out.out(0));
    h_mag_tet4_edge<simd::V>(n, m.vectors[0], span, out.out(0));
    h_current_tet4_edge<simd::V>(n, m.vectors[0], span, out.out(0));
    for (std::size_t i = count; i < t.size(); ++i) {
      EXPECT_EQ(out.x[i], 4.0);
      EXPECT_EQ(out.y[i], 4.0);
      EXPECT_EQ(out.z[i], 4.0);
    }
  }
}

TEST(Tet4, ResultColumnsMustMatchTheTargets) {
  const Mesh m = random_mesh(1, 161);
  for (Kind k : all_kinds) {
    Columns t(3), out(2);
    try {
      run_parallel(k, m, t, out, 1);
      ADD_FAILURE() << kind_name(k);
    } catch (const Panic& p) {
      EXPECT_STREQ(p.what(), "assertion `left == right` failed\n  left: 2\n right: 3") << kind_name(k);
    }
  }
}

void expect_panic(Kind k, const Mesh& m, const char* message, std::size_t ntargets = 3) {
  Columns t(ntargets), out(ntargets);
  try {
    run_parallel(k, m, t, out, 2);
    ADD_FAILURE() << kind_name(k) << ": no failure, expected " << message;
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), message) << kind_name(k);
  }
}

TEST(Tet4, BadMeshesReportTheirFirstBadAccess) {
  const Mesh good = random_mesh(3, 121);  // 12 nodes
  for (Kind k : {Kind::mag_face, Kind::mag_edge}) {
    Mesh m = good;
    m.elements[1][2] = 12;
    m.elements[2][0] = 40;
    expect_panic(k, m, "index out of bounds: the len is 12 but the index is 12");
    m = good;
    m.vectors.pop_back();
    m.vectors.pop_back();
    expect_panic(k, m, "index out of bounds: the len is 1 but the index is 1");
    // A bad node of an element comes before its missing magnetisation.
    m.elements[1][3] = 13;
    expect_panic(k, m, "index out of bounds: the len is 12 but the index is 13");
  }
  for (Kind k : {Kind::current_face, Kind::current_edge}) {
    Mesh m = good;
    m.elements[1][1] = 12;  // flat positions 36, 37, 38 of 36
    expect_panic(k, m, "index out of bounds: the len is 36 but the index is 36");
    m = good;
    m.vectors.pop_back();  // 6 densities: element 2 reads 6, 7, 8
    expect_panic(k, m, "index out of bounds: the len is 6 but the index is 6");
  }
}

TEST(Tet4, NothingIsCheckedWithoutTargets) {
  Mesh m = random_mesh(2, 131);
  m.elements[0][0] = 99;
  for (Kind k : all_kinds) {
    Columns t(0), out(0);
    EXPECT_NO_THROW(run_parallel(k, m, t, out, 0));
  }
}

TEST(Tet4, FlatCurrentMeshReadsPartialCoordinatesAndIgnoresATrailingGroup) {
  const Mesh m = random_mesh(2, 141);
  const Columns t = awkward_targets(m, 10, 142);
  // Connectivity with three stray entries after the last full group.
  std::vector<std::uint32_t> c(m.elements_flat().begin(), m.elements_flat().end());
  c.insert(c.end(), {1000, 1001, 1002});
  Columns ref(t.size()), got(t.size());
  h_field_tet4_direct_parallel(m.nodes_flat(), m.elements_flat(), m.vectors_flat(), t, ref, 1, false);
  h_field_tet4_direct_parallel(m.nodes_flat(), c, m.vectors_flat(), t, got, 1, false);
  for (std::size_t i = 0; i < t.size(); ++i) EXPECT_TRUE(same_vec(row(ref, i), row(got, i)));
  // One coordinate short of the last node fails at that position.
  std::vector<double> nodes(m.nodes_flat().begin(), m.nodes_flat().end() - 1);
  Columns out(t.size());
  try {
    h_field_tet4_direct_parallel(nodes, m.elements_flat(), m.vectors_flat(), t, out, 1, true);
    ADD_FAILURE();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "index out of bounds: the len is 23 but the index is 23");
  }
}

}  // namespace
}  // namespace zandrel
