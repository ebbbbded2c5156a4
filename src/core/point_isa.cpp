// Direct sums of point sources over one piece of targets, compiled once per
// instruction set. Targets run a full vector per step with the sources
// broadcast; each target's accumulator stays in registers across all sources,
// which are added in source order exactly as a source-major loop would.
#include "core/kernel_api.hpp"
#include "core/point.hpp"
#include "core/simd.hpp"
#include "core/target_loop.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;

void h_mag_point_piece(const DipoleColumns& s, TargetSpan targets, OutSpan out) {
  for_target_vectors<W>(targets, out, [&](W tx, W ty, W tz, W& hx, W& hy, W& hz) {
    for (std::size_t i = 0; i < s.n; ++i) {
      W dx, dy, dz;
      dipole_field_lanes(tx - W::set1(s.cx[i]), ty - W::set1(s.cy[i]), tz - W::set1(s.cz[i]), s.mx[i],
                         s.my[i], s.mz[i], s.radius[i], s.ix[i], s.iy[i], s.iz[i], dx, dy, dz);
      hx = hx + dx;
      hy = hy + dy;
      hz = hz + dz;
    }
  });
}

void h_current_point_piece(const CurrentColumns& s, TargetSpan targets, OutSpan out) {
  for_target_vectors<W>(targets, out, [&](W tx, W ty, W tz, W& hx, W& hy, W& hz) {
    for (std::size_t i = 0; i < s.n; ++i)
      current_field_accumulate(tx - W::set1(s.sx[i]), ty - W::set1(s.sy[i]), tz - W::set1(s.sz[i]),
                               s.jx[i], s.jy[i], s.jz[i], s.k[i], s.a3[i], hx, hy, hz);
  });
}

}  // namespace

const PointKernels& point_kernels_table() {
  static const PointKernels table{&h_mag_point_piece, &h_current_point_piece};
  return table;
}

ZANDREL_END
