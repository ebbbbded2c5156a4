#include <cmath>
#include <vector>

#include "core/direct/direct.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "core/kernels/point.hpp"

ZANDREL_BEGIN
namespace {

// Per-source quantities of the dipole loop, computed once per call.
struct PreparedDipoles {
  std::vector<double> cx, cy, cz, mx, my, mz, radius, ix, iy, iz;

  PreparedDipoles(std::span<const Vec3> centroids, std::span<const double> volumes,
                  std::span<const Vec3> mvectors) {
    const std::size_t n = centroids.size();
    // The loop reads volumes[i], then mvectors[i]: report the first that runs out.
    if (volumes.size() < n || mvectors.size() < n) {
      if (volumes.size() <= mvectors.size()) panic_index(volumes.size(), volumes.size());
      panic_index(mvectors.size(), mvectors.size());
    }
    for (auto* col : {&cx, &cy, &cz, &mx, &my, &mz, &radius, &ix, &iy, &iz}) col->resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = volumes[i];
      const double r = std::cbrt((3.0 * v) / four_pi);
      const Vec3 moment = mvectors[i] * v;
      const Vec3 core = dipole_core_field(moment, r);
      cx[i] = centroids[i].x, cy[i] = centroids[i].y, cz[i] = centroids[i].z;
      mx[i] = moment.x, my[i] = moment.y, mz[i] = moment.z;
      radius[i] = r;
      ix[i] = core.x, iy[i] = core.y, iz[i] = core.z;
    }
  }
  DipoleColumns columns() const {
    return {cx.data(), cy.data(), cz.data(), mx.data(), my.data(), mz.data(),
            radius.data(), ix.data(), iy.data(), iz.data(), cx.size()};
  }
};

struct PreparedCurrents {
  std::vector<double> k, a3;
  const Columns& pts;
  const Columns& j;

  PreparedCurrents(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_j)
      : pts(src_pts), j(src_j) {
    const std::size_t n = src_pts.size();
    if (src_vol.size() < n) panic_index(src_vol.size(), src_vol.size());
    if (src_j.size() < n) panic_index(src_j.size(), src_j.size());
    k.resize(n);
    a3.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = src_vol[i];
      k[i] = v * inv_4pi;
      // The general power function: a negative volume gives NaN, i.e. no core.
      const double a = std::pow(v * three_over_4pi, one_third);
      a3[i] = a * (a * a);
    }
  }
  CurrentColumns columns() const {
    return {pts.x.data(), pts.y.data(), pts.z.data(), j.x.data(), j.y.data(), j.z.data(),
            k.data(), a3.data(), pts.size()};
  }
};

}  // namespace

void h_mag_point_direct(std::span<const Vec3> centroids, std::span<const double> volumes,
                        std::span<const Vec3> mvectors, TargetSpan targets, OutSpan out, Isa isa) {
  const PreparedDipoles sources(centroids, volumes, mvectors);
  point_kernels(isa).h_mag_point(sources.columns(), targets, out);
}

void h_current_point_direct(const Columns& src_pts, std::span<const double> src_vol,
                            const Columns& src_jdensity, TargetSpan targets, OutSpan out, Isa isa) {
  const PreparedCurrents sources(src_pts, src_vol, src_jdensity);
  point_kernels(isa).h_current_point(sources.columns(), targets, out);
}

void h_mag_point_direct_parallel(std::span<const Vec3> centroids, std::span<const double> volumes,
                                 std::span<const Vec3> mvectors, const Columns& targets, Columns& out,
                                 std::uint32_t nthreads_requested) {
  const PreparedDipoles sources(centroids, volumes, mvectors);
  const DipoleColumns cols = sources.columns();
  const auto kernel = point_kernels().h_mag_point;
  for_each_piece(targets.size(), nthreads_requested, [&](std::size_t begin, std::size_t end) {
    kernel(cols, targets.span(begin, end), out.out(begin));
  });
}

void h_current_point_direct_parallel(const Columns& src_pts, std::span<const double> src_vol,
                                     const Columns& src_jdensity, const Columns& tgt_pts, Columns& out,
                                     std::uint32_t nthreads_requested) {
  const PreparedCurrents sources(src_pts, src_vol, src_jdensity);
  const CurrentColumns cols = sources.columns();
  const auto kernel = point_kernels().h_current_point;
  for_each_piece(tgt_pts.size(), nthreads_requested, [&](std::size_t begin, std::size_t end) {
    kernel(cols, tgt_pts.span(begin, end), out.out(begin));
  });
}

ZANDREL_END
