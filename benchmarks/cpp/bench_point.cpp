// Single-threaded throughput of the point kernels per instruction-set build:
// source-target pairs per second, and the ratio to the portable build.
// Usage: bench_point [sources] [targets] [repeats]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_timing.hpp"
#include "core/direct/direct.hpp"
#include "core/dispatch/dispatch.hpp"

using namespace zandrel;

int main(int argc, char** argv) {
  const std::size_t nsrc = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
  const std::size_t ntgt = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4000;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 7;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Vec3> c(nsrc), m(nsrc);
  std::vector<double> v(nsrc, 1e-6);
  Columns pts(nsrc), j(nsrc), t(ntgt);
  for (std::size_t i = 0; i < nsrc; ++i) {
    c[i] = {u(rng), u(rng), u(rng)};
    m[i] = {u(rng), u(rng), u(rng)};
    pts.x[i] = c[i].x, pts.y[i] = c[i].y, pts.z[i] = c[i].z;
    j.x[i] = m[i].x, j.y[i] = m[i].y, j.z[i] = m[i].z;
  }
  for (std::size_t i = 0; i < ntgt; ++i) t.x[i] = u(rng), t.y[i] = u(rng), t.z[i] = u(rng);
  const double pairs = static_cast<double>(nsrc) * static_cast<double>(ntgt);

  std::printf("point kernels, one thread, %zu sources x %zu targets, median of %d\n", nsrc, ntgt, repeats);
  std::printf("%-10s %20s %10s %20s %10s\n", "build", "dipole pairs/s", "vs port.", "current pairs/s", "vs port.");
  double base_dipole = 0.0, base_current = 0.0;
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) {
      std::printf("%-10s %20s\n", isa_name(isa), "not supported here");
      continue;
    }
    Columns out(ntgt);
    const double td = bench::median_seconds(repeats, [&] {
      h_mag_point_direct(c, v, m, t.span(), out.out(0), isa);
    });
    const double tc = bench::median_seconds(repeats, [&] {
      h_current_point_direct(pts, v, j, t.span(), out.out(0), isa);
    });
    const double rd = pairs / td, rc = pairs / tc;
    if (isa == Isa::portable) base_dipole = rd, base_current = rc;
    std::printf("%-10s %20.3e %9.1fx %20.3e %9.1fx\n", isa_name(isa), rd, rd / base_dipole, rc, rc / base_current);
  }
  return 0;
}
