#include "core/octree/bbox.hpp"

#include <vector>

#include "core/errors.hpp"

ZANDREL_BEGIN

std::optional<Bounds> min_and_max(std::span<const double> arr) {
  if (arr.empty()) return std::nullopt;
  double lo = 0.0, hi = 0.0;
  for (const double v : arr) {
    if (v < lo) lo = v;
    if (hi < v) hi = v;
  }
  return Bounds{lo, hi};
}

double side_length_from_bounds(const Bounds& xbounds, const Bounds& ybounds, const Bounds& zbounds) {
  const double xrange = xbounds.second - xbounds.first;
  const double yrange = ybounds.second - ybounds.first;
  const double zrange = zbounds.second - zbounds.first;
  const double xymax = xrange > yrange ? xrange : yrange;
  return xymax > zrange ? xymax : zrange;
}

void panic_no_sources() { panic("called `Option::unwrap()` on a `None` value"); }

std::optional<BoundingBox> BoundingBox::from_centroids(std::span<const double> x, std::span<const double> y,
                                                       std::span<const double> z) {
  const std::optional<Bounds> xb = min_and_max(x), yb = min_and_max(y), zb = min_and_max(z);
  if (!xb || !yb || !zb) return std::nullopt;
  BoundingBox box;
  box.xbounds = *xb;
  box.ybounds = *yb;
  box.zbounds = *zb;
  box.side_length = side_length_from_bounds(*xb, *yb, *zb);
  const double h = box.side_length * 0.5;
  box.xc = xb->first + h;
  box.yc = yb->first + h;
  box.zc = zb->first + h;
  return box;
}

BoundingBox BoundingBox::from_centroids_vec(std::span<const Vec3> centroids) {
  const std::size_t n = centroids.size();
  std::vector<double> x(n, 0.0), y(n, 0.0), z(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = centroids[i].x;
    y[i] = centroids[i].y;
    z[i] = centroids[i].z;
  }
  const std::optional<BoundingBox> box = from_centroids(x, y, z);
  if (!box) panic_no_sources();
  return *box;
}

ZANDREL_END
