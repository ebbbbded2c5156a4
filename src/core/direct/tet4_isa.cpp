// Direct sums of tetrahedral sources over one piece of targets, compiled once
// per instruction set. Every target adds the elements in element order and,
// within an element, its faces (or edges) in their fixed order, whatever the
// blocking below does, so the result does not depend on the piece, the
// target's lane or the build.
#include <algorithm>
#include <array>
#include <cstddef>

#include "core/dispatch/kernel_api.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/target_loop.hpp"
#include "core/kernels/tet4.hpp"
#include "core/kernels/tet4_edge.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;

// Face kernels: elements are prepared a block at a time, then every target
// vector runs through the whole block with its accumulators in registers.
constexpr std::size_t element_block = 16;
// Edge kernels: targets are taken a block at a time so that the targets,
// results and workspace of the block stay in the first-level cache while all
// elements run over them.
constexpr std::size_t target_block = 256;

Vec3 read_vec3(const double* p) { return {p[0], p[1], p[2]}; }

std::array<Vec3, 4> element_nodes_of(const Tet4Mesh& mesh, std::size_t e) {
  const std::uint32_t* idx = mesh.elements + 4 * e;
  return {read_vec3(mesh.nodes + 3 * std::size_t{idx[0]}), read_vec3(mesh.nodes + 3 * std::size_t{idx[1]}),
          read_vec3(mesh.nodes + 3 * std::size_t{idx[2]}), read_vec3(mesh.nodes + 3 * std::size_t{idx[3]})};
}

Vec3 element_vector_of(const Tet4Mesh& mesh, std::size_t e) { return read_vec3(mesh.vectors + 3 * e); }

TargetSpan sub_targets(TargetSpan t, std::size_t begin, std::size_t end) {
  return {t.x + begin, t.y + begin, t.z + begin, end - begin};
}
OutSpan sub_out(OutSpan o, std::size_t begin) { return {o.x + begin, o.y + begin, o.z + begin}; }
Vec3* records(double* p, std::size_t begin) { return reinterpret_cast<Vec3*>(p) + begin; }

template <class Prepared, class Prepare, class Lanes>
void face_sum(const Tet4Mesh& mesh, TargetSpan targets, OutSpan out, Prepare prepare, Lanes lanes) {
  std::array<Prepared, element_block> block;
  for (std::size_t e0 = 0; e0 < mesh.n; e0 += element_block) {
    const std::size_t count = std::min(element_block, mesh.n - e0);
    for (std::size_t k = 0; k < count; ++k)
      block[k] = prepare(element_nodes_of(mesh, e0 + k), element_vector_of(mesh, e0 + k));
    for_target_vectors<W>(targets, out, [&](W tx, W ty, W tz, W& hx, W& hy, W& hz) {
      const Vec3Lanes<W> r{tx, ty, tz};
      for (std::size_t k = 0; k < count; ++k) lanes(block[k], r, hx, hy, hz);
    });
  }
}

void h_mag_tet4_piece(const Tet4Mesh& mesh, TargetSpan targets, OutSpan out) {
  face_sum<MagTet4>(mesh, targets, out, prepare_mag_tet4,
                    [](const MagTet4& m, const Vec3Lanes<W>& r, W& hx, W& hy, W& hz) {
                      h_mag_tet4_lanes(m, r, hx, hy, hz);
                    });
}

void h_current_tet4_piece(const Tet4Mesh& mesh, TargetSpan targets, OutSpan out) {
  face_sum<CurrentTet4>(mesh, targets, out, prepare_current_tet4,
                        [](const CurrentTet4& c, const Vec3Lanes<W>& r, W& hx, W& hy, W& hz) {
                          h_current_tet4_lanes(c, r, hx, hy, hz);
                        });
}

void h_mag_tet4_edge_piece(const Tet4Mesh& mesh, TargetSpan targets, Tet4Workspace ws, OutSpan out) {
  for (std::size_t b = 0; b < targets.n; b += target_block) {
    const std::size_t end = std::min(b + target_block, targets.n);
    const std::array<Vec3*, 3> block_ws = {records(ws.w0, b), records(ws.w1, b), records(ws.w2, b)};
    for (std::size_t e = 0; e < mesh.n; ++e)
      h_mag_tet4_edge<W>(element_nodes_of(mesh, e), element_vector_of(mesh, e), sub_targets(targets, b, end),
                         block_ws, sub_out(out, b));
  }
}

void h_current_tet4_edge_piece(const Tet4Mesh& mesh, TargetSpan targets, Tet4Workspace ws, OutSpan out) {
  for (std::size_t b = 0; b < targets.n; b += target_block) {
    const std::size_t end = std::min(b + target_block, targets.n);
    Vec3* f = records(ws.w0, b);
    for (std::size_t e = 0; e < mesh.n; ++e) {
      h_current_tet4_edge<W>(element_nodes_of(mesh, e), element_vector_of(mesh, e), sub_targets(targets, b, end),
                             f, sub_out(out, b));
      // The kernel accumulates sum_f phi_f n_f; every element starts from zero.
      std::fill(f, f + (end - b), Vec3{});
    }
  }
}

}  // namespace

const Tet4Kernels& tet4_kernels_table() {
  static const Tet4Kernels table{&h_mag_tet4_piece, &h_mag_tet4_edge_piece, &h_current_tet4_piece,
                                 &h_current_tet4_edge_piece};
  return table;
}

ZANDREL_END
