// Phases of an application (median of five) of the field operator (CPU seconds per target,
// all threads) and its error against the direct face sum, on a jittered box
// of six tetrahedra per cube, targets at the centroids.
// Usage: bench_operator [cubes per side] [order] [theta] [leaf size] [inner] [outer] [rule degree] [threads]
//                       [single] [store] [isa: 0 portable, 1 AVX2, 2 AVX-512] [target leaf size]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include <time.h>

#include "core/direct/direct.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/operator/field_operator.hpp"

using namespace zandrel;

namespace {

// Six tetrahedra per cube (sharing the main diagonal), inner nodes jittered by 20 % of the spacing.
void jittered_box(int n, std::vector<Vec3>& nodes, std::vector<Element>& elements) {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-0.2 / n, 0.2 / n);
  const auto id = [n](int i, int j, int k) { return static_cast<std::uint32_t>((i * (n + 1) + j) * (n + 1) + k); };
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j)
      for (int k = 0; k <= n; ++k) {
        Vec3 p{double(i) / n, double(j) / n, double(k) / n};
        if (i > 0 && i < n && j > 0 && j < n && k > 0 && k < n) p = p + Vec3{u(rng), u(rng), u(rng)};
        nodes.push_back(p);
      }
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k)
        for (const auto& pm : perms) {
          int c[3] = {i, j, k};
          std::array<std::uint32_t, 4> e;
          e[0] = id(c[0], c[1], c[2]);
          for (int s = 0; s < 3; ++s) {
            c[pm[s]] += 1;
            e[s + 1] = id(c[0], c[1], c[2]);
          }
          // Positive orientation: (n1 - n0) x (n2 - n0) . (n3 - n0) > 0.
          const Vec3 a = nodes[e[1]] - nodes[e[0]], b = nodes[e[2]] - nodes[e[0]], d = nodes[e[3]] - nodes[e[0]];
          if (dot(cross(a, b), d) < 0) std::swap(e[1], e[2]);
          elements.push_back(e);
        }
}

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 12;
  OperatorParams params;
  if (argc > 2) params.order = std::atoi(argv[2]);
  if (argc > 3) params.theta = std::atof(argv[3]);
  if (argc > 4) params.leaf_size = static_cast<std::uint32_t>(std::atoi(argv[4]));
  if (argc > 5) params.inner_factor = std::atof(argv[5]);
  if (argc > 6) params.outer_factor = std::atof(argv[6]);
  if (argc > 7) params.rule_degree = std::atoi(argv[7]);
  const std::uint32_t threads = argc > 8 ? static_cast<std::uint32_t>(std::atoi(argv[8])) : 1;
  if (argc > 9) params.single_direct = std::atoi(argv[9]) != 0;
  if (argc > 10) params.store_near = std::atoi(argv[10]) != 0;
  // Kernels of the given build (0 portable, 1 AVX2, 2 AVX-512) instead of the processor's best.
  const Isa isa = argc > 11 ? static_cast<Isa>(std::atoi(argv[11])) : best_isa();
  params.target_leaf_size = argc > 12 ? static_cast<std::uint32_t>(std::atoi(argv[12])) : params.leaf_size;
  // Cells stretched to aspect s^2 : 1 : 1/s^2 ... (s = 2: 4:2:1), and a memory limit in bytes per element.
  const double stretch = argc > 13 ? std::atof(argv[13]) : 1.0;
  if (argc > 14) params.max_bytes_per_element = std::atof(argv[14]);
  std::vector<Vec3> nodes;
  std::vector<Element> elements;
  jittered_box(n, nodes, elements);
  for (Vec3& x : nodes) x = Vec3{x.x * stretch, x.y, x.z / stretch};
  const std::size_t e = elements.size();
  double t0 = cpu_seconds();
  const FieldOperator op(nodes, elements, params, threads, isa);
  const double t_build = cpu_seconds() - t0;
  t0 = cpu_seconds();
  const TargetPlan plan = op.plan_rows({}, true);
  const double t_plan = cpu_seconds() - t0;
  std::printf("E %zu  p %d theta %.2f leaf %u/%u zones %.2f/%.2f rule %d  build %.2f s plan %.2f s (cpu)\n", e,
              params.order, params.theta, params.leaf_size, params.target_leaf_size, params.inner_factor, params.outer_factor,
              params.rule_degree, t_build, t_plan);
  std::printf("  per target: m2l pairs/cell %.1f, direct pairs %.1f (%.1f ranges/leaf), near pairs %.1f (%.1f leaves/leaf); "
              "leaves %zu (%.1f targets), rotations %zu; bytes/elem %.0f + apply %.0f\n",
              double(plan.m2l_pairs) / plan.tree.cells.size(), double(plan.p2p_pairs) / e,
              double(plan.lists.direct.size()) / 2 / plan.tree.leaves.size(), double(plan.near_pairs) / e,
              double(plan.lists.near.size()) / plan.tree.leaves.size(), plan.tree.leaves.size(),
              double(e) / plan.tree.leaves.size(),
              plan.n_rotations, double(op.memory_bytes() + plan.memory_bytes()) / e,
              double(op.apply_workspace_bytes(plan)) / e);

  const auto cap = [](const auto& v) { return double(v.capacity() * sizeof(v[0])); };
  std::printf("  bytes/elem: near masks %.0f inner %.0f shell %.0f; lists m2l %.0f direct %.0f near %.0f; "
              "rotations %.0f; target tree %.0f\n",
              cap(plan.masks) / e, cap(plan.inner) / e, cap(plan.shell) / e,
              (cap(plan.lists.m2l_source) + cap(plan.lists.m2l_rotation)) / e, cap(plan.lists.direct) / e,
              cap(plan.lists.near) / e, cap(plan.rotations) / e, double(plan.tree.memory_bytes()) / e);
  // Magnetisations: uniform, random, vortex; the reference on a subset of targets.
  std::vector<Vec3> centroid(e);
  for (std::size_t i = 0; i < e; ++i) {
    const auto c = element_nodes(nodes, elements[i]);
    centroid[i] = (((c[0] + c[1]) + c[2]) + c[3]) * 0.25;
  }
  std::mt19937_64 rng(7);
  std::normal_distribution<double> g;
  const std::size_t nsub = std::min<std::size_t>(e, 1000);
  Columns sub(nsub);
  std::vector<std::size_t> pick(nsub);
  for (std::size_t i = 0; i < nsub; ++i) {
    pick[i] = (i * 7919) % e;
    sub.x[i] = centroid[pick[i]].x, sub.y[i] = centroid[pick[i]].y, sub.z[i] = centroid[pick[i]].z;
  }
  for (int kind = 0; kind < 3; ++kind) {
    std::vector<Vec3> mv(e);
    for (std::size_t i = 0; i < e; ++i) {
      const Vec3 c = centroid[i] - Vec3{0.5 * stretch, 0.5, 0.5 / stretch};
      mv[i] = kind == 0 ? Vec3{0, 0, 1} : kind == 1 ? Vec3{g(rng), g(rng), g(rng)} : Vec3{-c.y, c.x, 0.15};
    }
    // Five applications; the phases of the one with the median total.
    Columns out(e), ref(nsub);
    std::vector<std::pair<double, ApplyProfile>> runs;
    std::vector<double> walls;
    for (int rep = 0; rep < 5; ++rep) {
      ApplyProfile p;
      t0 = cpu_seconds();
      const double w0 = wall_seconds();
      op.apply(plan, std::span<const double>(&mv[0].x, 3 * e), out, &p);
      walls.push_back(wall_seconds() - w0);
      runs.emplace_back(cpu_seconds() - t0, p);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const double t_apply = runs[2].first;
    const ApplyProfile prof = runs[2].second;
    h_mag_tet4_direct(nodes, elements, mv, sub.span(), ref.out(0), false, best_isa());
    double err = 0, nrm = 0;
    for (std::size_t i = 0; i < nsub; ++i) {
      const std::size_t k = pick[i];
      const double dx = out.x[k] - ref.x[i], dy = out.y[k] - ref.y[i], dz = out.z[k] - ref.z[i];
      err += dx * dx + dy * dy + dz * dz;
      nrm += ref.x[i] * ref.x[i] + ref.y[i] * ref.y[i] + ref.z[i] * ref.z[i];
    }
    const double us = 1e6 / e;
    std::printf("  %-8s wall %.3f s err %.2e  cpu us/target: total %.2f = multipoles %.2f + m2l %.2f + locals %.2f + leaves %.2f\n",
                kind == 0 ? "uniform" : kind == 1 ? "random" : "vortex", walls[2], std::sqrt(err / nrm), t_apply * us,
                prof.multipoles * us, prof.multipole_to_local * us, prof.locals * us, prof.leaves * us);
  }
}
