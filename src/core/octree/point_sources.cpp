#include "core/octree/point_sources.hpp"

#include <cmath>

ZANDREL_BEGIN

PointSources::PointSources(std::span<const double> x, std::span<const double> y, std::span<const double> z,
                           std::span<const double> volumes, std::span<const double> vx,
                           std::span<const double> vy, std::span<const double> vz)
    : xg(x.begin(), x.end()), yg(y.begin(), y.end()), zg(z.begin(), z.end()) {
  const std::size_t n = xg.size();
  r.assign(n, 0.0);
  vjx.assign(n, 0.0);
  vjy.assign(n, 0.0);
  vjz.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double v = at(volumes, i);
    r[i] = std::pow(v * three_over_4pi, one_third);
    vjx[i] = v * at(vx, i);
    vjy[i] = at(volumes, i) * at(vy, i);
    vjz[i] = at(volumes, i) * at(vz, i);
  }
  const std::optional<BoundingBox> box = BoundingBox::from_centroids(xg, yg, zg);
  if (!box) panic_no_sources();
  bounding_box = *box;
}

void PointSources::sort(std::span<const std::size_t> indices) {
  std::vector<double> scratch(len(), 0.0);
  for (auto* col : {&xg, &yg, &zg, &r, &vjx, &vjy, &vjz})
    sort_by_indices<double>(*col, scratch, indices);
}

ZANDREL_END
