// Single-threaded throughput of the tetrahedron kernels per instruction-set
// build: element-target pairs per second of the face and edge formulations,
// magnetised and current-carrying, and the ratio to the portable build.
// Usage: bench_tet4 [elements] [targets] [repeats]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_timing.hpp"
#include "core/direct/direct.hpp"
#include "core/dispatch/dispatch.hpp"

using namespace zandrel;

int main(int argc, char** argv) {
  const std::size_t nelem = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 500;
  const std::size_t ntgt = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0), d(-0.05, 0.05);
  // Small well-shaped elements scattered through the unit cube, targets
  // among them.
  const Vec3 corner[4] = {{0.0, 0.0, 0.0}, {0.05, 0.0, 0.0}, {0.0, 0.05, 0.0}, {0.0, 0.0, 0.05}};
  std::vector<Vec3> nodes, vectors;
  std::vector<Element> elements;
  for (std::size_t e = 0; e < nelem; ++e) {
    const Vec3 base{u(rng), u(rng), u(rng)};
    const auto first = static_cast<std::uint32_t>(nodes.size());
    for (const Vec3& c : corner) nodes.push_back(base + c + Vec3{d(rng), d(rng), d(rng)} * 0.2);
    elements.push_back({first, first + 1, first + 2, first + 3});
    vectors.push_back({u(rng), u(rng), u(rng)});
  }
  Columns t(ntgt);
  for (std::size_t i = 0; i < ntgt; ++i) t.x[i] = u(rng), t.y[i] = u(rng), t.z[i] = u(rng);
  const std::span<const double> nodes_flat{&nodes[0].x, 3 * nodes.size()};
  const std::span<const std::uint32_t> elements_flat{elements[0].data(), 4 * elements.size()};
  const std::span<const double> vectors_flat{&vectors[0].x, 3 * vectors.size()};
  const double pairs = static_cast<double>(nelem) * static_cast<double>(ntgt);

  std::printf("tetrahedron kernels, one thread, %zu elements x %zu targets, median of %d, pairs/s\n", nelem, ntgt,
              repeats);
  std::printf("%-10s %18s %18s %18s %18s\n", "build", "mag face", "mag edge", "current face", "current edge");
  double base[4] = {};
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) {
      std::printf("%-10s %14s\n", isa_name(isa), "not supported here");
      continue;
    }
    double rate[4];
    for (int k = 0; k < 4; ++k) {
      const bool edge = k % 2 == 1;
      Columns out(ntgt);
      const double s = bench::median_seconds(repeats, [&] {
        if (k < 2)
          h_mag_tet4_direct(nodes, elements, vectors, t.span(), out.out(0), edge, isa);
        else
          h_current_tet4_direct(nodes_flat, elements_flat, vectors_flat, t.span(), out.out(0), edge, isa);
      });
      rate[k] = pairs / s;
      if (isa == Isa::portable) base[k] = rate[k];
    }
    std::printf("%-10s", isa_name(isa));
    for (int k = 0; k < 4; ++k) std::printf("   %8.3e %4.1fx", rate[k], rate[k] / base[k]);
    std::printf("\n");
  }
  return 0;
}
