#include "core/octree/point_sources.hpp"

#include "core/interrupt.hpp"

ZANDREL_BEGIN

PointSources::PointSources(std::span<const double> x, std::span<const double> y, std::span<const double> z,
                           std::span<const double> volumes, std::span<const double> vx,
                           std::span<const double> vy, std::span<const double> vz) {
  positions.x.assign(x.begin(), x.end());
  positions.y.assign(y.begin(), y.end());
  positions.z.assign(z.begin(), z.end());
  const std::size_t n = positions.x.size();
  radius.assign(n, 0.0);
  moments = Columns(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    const double v = at(volumes, i);
    radius[i] = sphere_radius(v);
    moments.x[i] = v * at(vx, i);
    moments.y[i] = at(volumes, i) * at(vy, i);
    moments.z[i] = at(volumes, i) * at(vz, i);
  }
  const std::optional<BoundingBox> box = BoundingBox::from_centroids(positions.x, positions.y, positions.z);
  if (!box) panic_no_sources();
  bounding_box = *box;
}

void PointSources::sort(std::span<const std::size_t> indices) {
  std::vector<double> scratch(len(), 0.0);
  for (auto* col : {&positions.x, &positions.y, &positions.z, &radius, &moments.x, &moments.y, &moments.z})
    sort_by_indices<double>(*col, scratch, indices);
}

PointColumns PointSources::leaf_view(std::size_t start, std::size_t end) const {
  if (end > start) {
    std::size_t shortest = len();
    for (const auto* col : {&positions.y, &positions.z, &radius, &moments.x, &moments.y, &moments.z})
      if (col->size() < shortest) shortest = col->size();
    if (end > shortest) panic_index(shortest, start > shortest ? start : shortest);
  }
  return {positions.x.data(), positions.y.data(), positions.z.data(), radius.data(),
          moments.x.data(),   moments.y.data(),   moments.z.data(),   end};
}

ZANDREL_END
