// Direct sums over all elements of a tetrahedral mesh, parallel over pieces
// of the targets. Every index the element loop will use is checked first, in
// the order the loop meets it, so a bad mesh aborts with the message of its
// first bad access and the kernels that follow cannot fail.
#include <vector>

#include "core/direct/direct.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/parallel.hpp"

ZANDREL_BEGIN
namespace {

static_assert(sizeof(Vec3) == 3 * sizeof(double), "Vec3 records are read as flat doubles");
static_assert(sizeof(Element) == 4 * sizeof(std::uint32_t), "elements are read as flat indices");

// Element loop of the magnetised mesh: its four node indices a, b, c, d, then
// mvectors[e].
Tet4Mesh checked_mag_mesh(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                          std::span<const Vec3> mvectors) {
  for (std::size_t e = 0; e < connectivity.size(); ++e) {
    for (std::uint32_t index : connectivity[e]) check_index(index, nodes.size());
    check_index(e, mvectors.size());
  }
  return {reinterpret_cast<const double*>(nodes.data()), reinterpret_cast<const std::uint32_t*>(connectivity.data()),
          reinterpret_cast<const double*>(mvectors.data()), connectivity.size()};
}

// Element loop of the current-carrying mesh over full groups of four
// indices: each node read from the flat coordinates (positions 3i, 3i+1,
// 3i+2), then the density at 3e, 3e+1, 3e+2.
Tet4Mesh checked_current_mesh(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                              std::span<const double> jdensity_flat) {
  const std::size_t n = connectivity_flat.size() / 4;
  for (std::size_t e = 0; e < n; ++e) {
    for (std::size_t k = 0; k < 4; ++k) node_coords(nodes_flat, connectivity_flat[4 * e + k]);
    for (std::size_t c = 0; c < 3; ++c) check_index(3 * e + c, jdensity_flat.size());
  }
  return {nodes_flat.data(), connectivity_flat.data(), jdensity_flat.data(), n};
}

// Zero-filled edge-formulation scratch for one piece: three records per
// target for the magnetic tensor, one for the current.
struct Workspace {
  std::vector<double> w0, w1, w2;

  Workspace(std::size_t targets, bool edge, std::size_t sequences) {
    if (!edge) return;
    w0.assign(3 * targets, 0.0);
    if (sequences == 3) {
      w1.assign(3 * targets, 0.0);
      w2.assign(3 * targets, 0.0);
    }
  }
  Tet4Workspace view() { return {w0.data(), w1.data(), w2.data()}; }
};

void mag_piece(const Tet4Kernels& k, const Tet4Mesh& mesh, TargetSpan targets, OutSpan out, bool edge) {
  Workspace ws(targets.n, edge, 3);
  if (edge)
    k.h_mag_tet4_edge(mesh, targets, ws.view(), out);
  else
    k.h_mag_tet4(mesh, targets, out);
}

void current_piece(const Tet4Kernels& k, const Tet4Mesh& mesh, TargetSpan targets, OutSpan out, bool edge) {
  Workspace ws(targets.n, edge, 1);
  if (edge)
    k.h_current_tet4_edge(mesh, targets, ws.view(), out);
  else
    k.h_current_tet4(mesh, targets, out);
}

void check_columns(const Columns& targets, const Columns& out) {
  assert_eq(targets.y.size(), targets.size());
  assert_eq(targets.z.size(), targets.size());
  assert_eq(out.x.size(), targets.size());
  assert_eq(out.y.size(), targets.size());
  assert_eq(out.z.size(), targets.size());
}

}  // namespace

void h_mag_tet4_direct(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                       std::span<const Vec3> mvectors, TargetSpan targets, OutSpan out, bool edge, Isa isa) {
  if (targets.n == 0) return;
  const Tet4Mesh mesh = checked_mag_mesh(nodes, connectivity, mvectors);
  mag_piece(tet4_kernels(isa), mesh, targets, out, edge);
}

void h_current_tet4_direct(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                           std::span<const double> jdensity_flat, TargetSpan targets, OutSpan out, bool edge,
                           Isa isa) {
  if (targets.n == 0) return;
  const Tet4Mesh mesh = checked_current_mesh(nodes_flat, connectivity_flat, jdensity_flat);
  current_piece(tet4_kernels(isa), mesh, targets, out, edge);
}

void h_mag_tet4_direct_parallel(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                std::span<const Vec3> mvectors, const Columns& targets, Columns& out,
                                std::uint32_t nthreads_requested, bool edge) {
  check_columns(targets, out);
  // Without targets no element is ever visited, so nothing is checked.
  if (targets.size() == 0) return;
  const Tet4Mesh mesh = checked_mag_mesh(nodes, connectivity, mvectors);
  const Tet4Kernels& kernels = tet4_kernels();
  for_each_piece(targets.size(), nthreads_requested, [&](std::size_t begin, std::size_t end) {
    mag_piece(kernels, mesh, targets.span(begin, end), out.out(begin), edge);
  });
}

void h_field_tet4_direct_parallel(std::span<const double> nodes_flat,
                                  std::span<const std::uint32_t> connectivity_flat,
                                  std::span<const double> jdensity_flat, const Columns& tgt_pts, Columns& out,
                                  std::uint32_t nthreads_requested, bool edge) {
  check_columns(tgt_pts, out);
  if (tgt_pts.size() == 0) return;
  const Tet4Mesh mesh = checked_current_mesh(nodes_flat, connectivity_flat, jdensity_flat);
  const Tet4Kernels& kernels = tet4_kernels();
  for_each_piece(tgt_pts.size(), nthreads_requested, [&](std::size_t begin, std::size_t end) {
    current_piece(kernels, mesh, tgt_pts.span(begin, end), out.out(begin), edge);
  });
}

ZANDREL_END
