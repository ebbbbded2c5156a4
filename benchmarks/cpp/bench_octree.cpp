// Single-threaded Barnes-Hut evaluation per instruction-set build: point
// dipoles and point current elements (targets = sources) and magnetised and
// current-carrying tetrahedra (targets = element centroids), theta 0.5; the
// tree is built once per kind, the evaluation timed. Targets per second and
// the ratio to the portable build.
// Usage: bench_octree [points] [cubes per edge] [repeats]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_timing.hpp"
#include "core/columns.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/octree/evaluate.hpp"

using namespace zandrel;

namespace {

// Seconds per evaluation of the tree at the targets with the given build.
template <class Tree>
double evaluation_seconds(const Tree& tree, const Columns& targets, Isa isa, int repeats) {
  Columns out(targets.size());
  return bench::median_seconds(repeats, [&] {
    h_field(tree, targets.x, targets.y, targets.z, out.x, out.y, out.z, 0.5, isa);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t npoints = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50000;
  const std::size_t cubes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 8;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0), w(0.0, 1.0);

  // Point sources filling the unit cube, each of volume 1/N.
  Columns pts(npoints), vec(npoints);
  std::vector<double> vol(npoints, 1.0 / static_cast<double>(npoints));
  for (std::size_t i = 0; i < npoints; ++i) {
    pts.x[i] = w(rng), pts.y[i] = w(rng), pts.z[i] = w(rng);
    vec.x[i] = u(rng), vec.y[i] = u(rng), vec.z[i] = u(rng);
  }
  const auto dipoles =
      build_from_sources(DipoleSources(PointSources(pts.x, pts.y, pts.z, vol, vec.x, vec.y, vec.z)), 21, 8);
  const auto currents =
      build_from_sources(CurrentSources(PointSources(pts.x, pts.y, pts.z, vol, vec.x, vec.y, vec.z)), 21, 8);

  // A box of cubes, six tetrahedra each around the main diagonal, nodes
  // jittered; one random vector per element.
  const double h = 1.0 / static_cast<double>(cubes);
  std::vector<Vec3> nodes;
  for (std::size_t k = 0; k <= cubes; ++k)
    for (std::size_t j = 0; j <= cubes; ++j)
      for (std::size_t i = 0; i <= cubes; ++i)
        nodes.push_back(Vec3{static_cast<double>(i) * h, static_cast<double>(j) * h, static_cast<double>(k) * h} +
                        Vec3{u(rng), u(rng), u(rng)} * (0.1 * h));
  auto id = [&](std::size_t i, std::size_t j, std::size_t k) {
    return static_cast<std::uint32_t>((k * (cubes + 1) + j) * (cubes + 1) + i);
  };
  std::vector<Element> elements;
  for (std::size_t k = 0; k < cubes; ++k)
    for (std::size_t j = 0; j < cubes; ++j)
      for (std::size_t i = 0; i < cubes; ++i) {
        const std::uint32_t c[8] = {id(i, j, k),     id(i + 1, j, k),     id(i, j + 1, k),     id(i + 1, j + 1, k),
                                    id(i, j, k + 1), id(i + 1, j, k + 1), id(i, j + 1, k + 1), id(i + 1, j + 1, k + 1)};
        const int paths[6][2] = {{1, 3}, {1, 5}, {2, 3}, {2, 6}, {4, 5}, {4, 6}};
        for (const auto& p : paths) elements.push_back({c[0], c[p[0]], c[p[1]], c[7]});
      }
  const std::size_t nelem = elements.size();
  std::vector<Vec3> centroid_list(nelem), vectors(nelem);
  std::vector<double> volume_list(nelem);
  centroids(nodes, elements, centroid_list);
  volumes(nodes, elements, volume_list);
  Columns tet_targets(nelem);
  for (std::size_t e = 0; e < nelem; ++e) {
    vectors[e] = {u(rng), u(rng), u(rng)};
    tet_targets.x[e] = centroid_list[e].x, tet_targets.y[e] = centroid_list[e].y, tet_targets.z[e] = centroid_list[e].z;
  }
  const auto mag_tets = build_from_sources(
      DipoleSources(TetSources(nodes, elements, centroid_list, volume_list, vectors)), 21, 4);
  const auto current_tets = build_from_sources(
      CurrentSources(TetSources(nodes, elements, centroid_list, volume_list, vectors)), 21, 4);

  std::printf("octree evaluation, one thread, theta 0.5, %zu points (leaf 8), %zu tetrahedra (leaf 4), median of %d,"
              " targets/s\n", npoints, nelem, repeats);
  std::printf("%-10s %18s %18s %18s %18s\n", "build", "point dipoles", "point currents", "mag tetrahedra",
              "current tetrahedra");
  double base[4] = {};
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) {
      std::printf("%-10s %14s\n", isa_name(isa), "not supported here");
      continue;
    }
    const double rate[4] = {
        static_cast<double>(npoints) / evaluation_seconds(dipoles, pts, isa, repeats),
        static_cast<double>(npoints) / evaluation_seconds(currents, pts, isa, repeats),
        static_cast<double>(nelem) / evaluation_seconds(mag_tets, tet_targets, isa, repeats),
        static_cast<double>(nelem) / evaluation_seconds(current_tets, tet_targets, isa, repeats)};
    if (isa == Isa::portable)
      for (int k = 0; k < 4; ++k) base[k] = rate[k];
    std::printf("%-10s", isa_name(isa));
    for (int k = 0; k < 4; ++k) std::printf("   %8.3e %4.1fx", rate[k], rate[k] / base[k]);
    std::printf("\n");
  }
  return 0;
}
