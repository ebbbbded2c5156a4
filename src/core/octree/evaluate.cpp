#include "core/octree/evaluate.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "core/octree/morton.hpp"
#include "core/octree/sort_by_indices.hpp"

ZANDREL_BEGIN
namespace {

// Below this many targets sorting costs more than the cache it saves.
constexpr std::size_t few_targets = 64;

}  // namespace

std::vector<std::uint32_t> morton_order(const BoundingBox& box, std::span<const double> x, std::span<const double> y,
                                        std::span<const double> z) {
  const std::size_t n = x.size();
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  if (n < few_targets) return order;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(n);
  const Vec3 min_corner = box.min_corner();
  for (std::size_t i = 0; i < n; ++i)
    keyed[i] = {morton::encode({x[i], y[i], z[i]}, morton::scale, box.side_length, min_corner),
                static_cast<std::uint32_t>(i)};
  sort_in_steps(keyed);
  for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
  return order;
}

ZANDREL_END
