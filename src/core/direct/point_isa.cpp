// Direct sums of point sources over one piece of targets, compiled once per
// instruction set. Targets run a full vector per step with the sources
// broadcast; each target's accumulator stays in registers across all sources,
// which are added in source order exactly as a source-major loop would.
#include "core/dispatch/kernel_api.hpp"
#include "core/kernels/point.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/target_loop.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;

// Two target vectors per pass share each source's broadcasts; the remainder
// runs one vector (or a zero-padded block) at a time through the same lanes.
void h_mag_point_piece(const DipoleColumns& s, TargetSpan targets, OutSpan out) {
  constexpr std::size_t step = 2 * W::lanes;
  std::size_t j = 0;
  for (; j + step <= targets.n; j += step) {
    const std::size_t k = j + W::lanes;
    const W tx0 = W::load(targets.x + j), ty0 = W::load(targets.y + j), tz0 = W::load(targets.z + j);
    const W tx1 = W::load(targets.x + k), ty1 = W::load(targets.y + k), tz1 = W::load(targets.z + k);
    W hx0 = W::load(out.x + j), hy0 = W::load(out.y + j), hz0 = W::load(out.z + j);
    W hx1 = W::load(out.x + k), hy1 = W::load(out.y + k), hz1 = W::load(out.z + k);
    for (std::size_t i = 0; i < s.n; ++i) {
      const W cx = W::set1(s.cx[i]), cy = W::set1(s.cy[i]), cz = W::set1(s.cz[i]);
      W dx, dy, dz;
      dipole_field_lanes(tx0 - cx, ty0 - cy, tz0 - cz, s.mx[i], s.my[i], s.mz[i], s.radius[i], s.ix[i], s.iy[i],
                         s.iz[i], dx, dy, dz);
      hx0 = hx0 + dx, hy0 = hy0 + dy, hz0 = hz0 + dz;
      dipole_field_lanes(tx1 - cx, ty1 - cy, tz1 - cz, s.mx[i], s.my[i], s.mz[i], s.radius[i], s.ix[i], s.iy[i],
                         s.iz[i], dx, dy, dz);
      hx1 = hx1 + dx, hy1 = hy1 + dy, hz1 = hz1 + dz;
    }
    hx0.store(out.x + j), hy0.store(out.y + j), hz0.store(out.z + j);
    hx1.store(out.x + k), hy1.store(out.y + k), hz1.store(out.z + k);
  }
  const TargetSpan rest{targets.x + j, targets.y + j, targets.z + j, targets.n - j};
  for_target_vectors<W>(rest, {out.x + j, out.y + j, out.z + j}, [&](W tx, W ty, W tz, W& hx, W& hy, W& hz) {
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
