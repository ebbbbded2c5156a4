// The direct sums' entry points: every source is validated and prepared once
// per call, then the one direct driver of the source kind (direct_sum.hpp,
// through the dispatch table of the best build) runs over pieces of the
// targets on the worker pool.
#include "core/direct/direct.hpp"

#include <vector>

#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/kernels/kinds.hpp"
#include "core/parallel.hpp"

ZANDREL_BEGIN
namespace {

static_assert(sizeof(Vec3) == 3 * sizeof(double), "Vec3 records are read as flat doubles");
static_assert(sizeof(Element) == 4 * sizeof(std::uint32_t), "elements are read as flat indices");

// The sum of kind K at every target, cut into pieces (one task each).
template <class K>
void parallel_sum(const typename K::Sources& sources, const Columns& targets, Columns& out,
                  std::uint32_t nthreads_requested) {
  const DirectSum<typename K::Sources> kernel = direct_kernel<K>();
  for_each_piece(targets.size(), nthreads_requested, [&](std::size_t begin, std::size_t end) {
    kernel(sources, targets.span(begin, end), out.out(begin));
  });
}

// Point dipoles with every per-source quantity of the target loop prepared
// once per call: position, moment M V and equivalent radius.
struct PreparedDipoles {
  std::vector<double> x, y, z, radius, mx, my, mz;

  PreparedDipoles(std::span<const Vec3> centroids, std::span<const double> volumes,
                  std::span<const Vec3> mvectors) {
    const std::size_t n = centroids.size();
    // The loop reads volumes[i], then mvectors[i]: report the first that runs out.
    if (volumes.size() < n || mvectors.size() < n) {
      if (volumes.size() <= mvectors.size()) panic_index(volumes.size(), volumes.size());
      panic_index(mvectors.size(), mvectors.size());
    }
    for (auto* col : {&x, &y, &z, &radius, &mx, &my, &mz}) col->resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = volumes[i];
      const Vec3 moment = mvectors[i] * v;
      x[i] = centroids[i].x, y[i] = centroids[i].y, z[i] = centroids[i].z;
      radius[i] = dipole_radius(v);
      mx[i] = moment.x, my[i] = moment.y, mz[i] = moment.z;
    }
  }
  PointColumns view() const {
    return {x.data(), y.data(), z.data(), radius.data(), mx.data(), my.data(), mz.data(), x.size()};
  }
};

// Point current elements: position and density as given, k = V/(4 pi) and
// the cubed equivalent radius per source.
struct PreparedCurrents {
  std::vector<double> k, core_cube;
  const Columns& pts;
  const Columns& j;

  PreparedCurrents(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_j)
      : pts(src_pts), j(src_j) {
    const std::size_t n = src_pts.size();
    if (src_vol.size() < n) panic_index(src_vol.size(), src_vol.size());
    if (src_j.size() < n) panic_index(src_j.size(), src_j.size());
    k.resize(n);
    core_cube.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = src_vol[i];
      k[i] = v * inv_4pi;
      const double a = sphere_radius(v);
      core_cube[i] = a * (a * a);
    }
  }
  CurrentColumns view() const {
    return {pts.x.data(), pts.y.data(), pts.z.data(), j.x.data(), j.y.data(), j.z.data(),
            k.data(), core_cube.data(), pts.size()};
  }
};

// The magnetised mesh with every index the element loop will use checked
// first, in the order the loop meets it: its four node indices, then
// mvectors[e]. A bad mesh aborts with the message of its first bad access.
Tet4Mesh checked_mag_mesh(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                          std::span<const Vec3> mvectors) {
  for (std::size_t e = 0; e < connectivity.size(); ++e) {
    for (std::uint32_t index : connectivity[e]) check_index(index, nodes.size());
    check_index(e, mvectors.size());
  }
  return {reinterpret_cast<const double*>(nodes.data()), reinterpret_cast<const std::uint32_t*>(connectivity.data()),
          reinterpret_cast<const double*>(mvectors.data()), connectivity.size()};
}

// The current-carrying mesh over full groups of four indices: each node read
// from the flat coordinates (positions 3i, 3i+1, 3i+2), then the density at
// 3e, 3e+1, 3e+2.
Tet4Mesh checked_current_mesh(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                              std::span<const double> jdensity_flat) {
  const std::size_t n = connectivity_flat.size() / 4;
  for (std::size_t e = 0; e < n; ++e) {
    for (std::size_t k = 0; k < 4; ++k) node_coords(nodes_flat, connectivity_flat[4 * e + k]);
    for (std::size_t c = 0; c < 3; ++c) check_index(3 * e + c, jdensity_flat.size());
  }
  return {nodes_flat.data(), connectivity_flat.data(), jdensity_flat.data(), n};
}

void check_columns(const Columns& targets, const Columns& out) {
  assert_eq(targets.y.size(), targets.size());
  assert_eq(targets.z.size(), targets.size());
  assert_eq(out.x.size(), targets.size());
  assert_eq(out.y.size(), targets.size());
  assert_eq(out.z.size(), targets.size());
}

// The formulation a tetrahedral sum runs: fn.template operator()<K>() with K
// the face kind (documented fast functions) or the edge kind.
template <template <class> class Face, class Edge, class Fn>
void with_formulation(bool edge, Fn&& fn) {
  if (edge)
    fn.template operator()<Edge>();
  else
    fn.template operator()<Face<FastMath>>();
}

// A tetrahedral mesh sum over pieces of the targets. Without targets no
// element is ever visited, so the mesh (checked_mesh()) is not checked.
template <template <class> class Face, class Edge, class CheckedMesh>
void tet4_sum_parallel(CheckedMesh&& checked_mesh, const Columns& targets, Columns& out,
                       std::uint32_t nthreads_requested, bool edge) {
  check_columns(targets, out);
  if (targets.size() == 0) return;
  const Tet4Mesh mesh = checked_mesh();
  with_formulation<Face, Edge>(edge, [&]<class K>() { parallel_sum<K>(mesh, targets, out, nthreads_requested); });
}

// The same over one span of targets with a chosen build.
template <template <class> class Face, class Edge, class CheckedMesh>
void tet4_sum(CheckedMesh&& checked_mesh, TargetSpan targets, OutSpan out, bool edge, Isa isa) {
  if (targets.n == 0) return;
  const Tet4Mesh mesh = checked_mesh();
  with_formulation<Face, Edge>(edge, [&]<class K>() { direct_kernel<K>(isa)(mesh, targets, out); });
}

}  // namespace

void h_mag_point_direct(std::span<const Vec3> centroids, std::span<const double> volumes,
                        std::span<const Vec3> mvectors, TargetSpan targets, OutSpan out, Isa isa) {
  const PreparedDipoles sources(centroids, volumes, mvectors);
  direct_kernel<PointDipole>(isa)(sources.view(), targets, out);
}

void h_current_point_direct(const Columns& src_pts, std::span<const double> src_vol,
                            const Columns& src_jdensity, TargetSpan targets, OutSpan out, Isa isa) {
  const PreparedCurrents sources(src_pts, src_vol, src_jdensity);
  direct_kernel<PointCurrentElement<FusedArithmetic>>(isa)(sources.view(), targets, out);
}

void h_mag_point_direct_parallel(std::span<const Vec3> centroids, std::span<const double> volumes,
                                 std::span<const Vec3> mvectors, const Columns& targets, Columns& out,
                                 std::uint32_t nthreads_requested) {
  const PreparedDipoles sources(centroids, volumes, mvectors);
  parallel_sum<PointDipole>(sources.view(), targets, out, nthreads_requested);
}

void h_current_point_direct_parallel(const Columns& src_pts, std::span<const double> src_vol,
                                     const Columns& src_jdensity, const Columns& tgt_pts, Columns& out,
                                     std::uint32_t nthreads_requested) {
  const PreparedCurrents sources(src_pts, src_vol, src_jdensity);
  parallel_sum<PointCurrentElement<FusedArithmetic>>(sources.view(), tgt_pts, out, nthreads_requested);
}

void h_mag_tet4_direct(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                       std::span<const Vec3> mvectors, TargetSpan targets, OutSpan out, bool edge, Isa isa) {
  tet4_sum<MagnetisedTet4Face, MagnetisedTet4Edge>([&] { return checked_mag_mesh(nodes, connectivity, mvectors); },
                                                   targets, out, edge, isa);
}

void h_current_tet4_direct(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                           std::span<const double> jdensity_flat, TargetSpan targets, OutSpan out, bool edge,
                           Isa isa) {
  tet4_sum<CurrentTet4Face, CurrentTet4Edge>(
      [&] { return checked_current_mesh(nodes_flat, connectivity_flat, jdensity_flat); }, targets, out, edge, isa);
}

void h_mag_tet4_direct_parallel(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                std::span<const Vec3> mvectors, const Columns& targets, Columns& out,
                                std::uint32_t nthreads_requested, bool edge) {
  tet4_sum_parallel<MagnetisedTet4Face, MagnetisedTet4Edge>(
      [&] { return checked_mag_mesh(nodes, connectivity, mvectors); }, targets, out, nthreads_requested, edge);
}

void h_field_tet4_direct_parallel(std::span<const double> nodes_flat,
                                  std::span<const std::uint32_t> connectivity_flat,
                                  std::span<const double> jdensity_flat, const Columns& tgt_pts, Columns& out,
                                  std::uint32_t nthreads_requested, bool edge) {
  tet4_sum_parallel<CurrentTet4Face, CurrentTet4Edge>(
      [&] { return checked_current_mesh(nodes_flat, connectivity_flat, jdensity_flat); }, tgt_pts, out,
      nthreads_requested, edge);
}

ZANDREL_END
