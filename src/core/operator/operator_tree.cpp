#include "core/operator/operator_tree.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/octree/morton.hpp"
#include "core/operator/pieces.hpp"

namespace zandrel {
namespace {

constexpr unsigned depth = morton::max_depth;

double distance(const Vec3& a, const Vec3& b) { return mag(a - b); }

bool inside(const MortonCube& c, const Vec3& p) {
  const auto in = [&](double v, double lo) { return v >= lo && v < lo + c.side; };
  return in(p.x, c.min_corner.x) && in(p.y, c.min_corner.y) && in(p.z, c.min_corner.z);
}

template <class T>
std::size_t bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// Cells are ranges of points sharing the leading bits of their codes. The
// 63 code bits split the cube in turn along z, y, x (bit 62 first), so a cell
// of b leading bits is a box halved b times; a cell takes the deepest box
// that still holds all its points and splits in two at the next bit.
struct Builder {
  const std::vector<std::uint64_t>& codes;  // tree order
  std::uint32_t leaf_size;
  Octree& tree;
  std::size_t visited = 0;  // boxes added, for spacing the interrupt checks

  static std::uint64_t prefix(std::uint64_t code, unsigned bits) { return bits == 0 ? 0 : code >> (63 - bits); }

  void add(std::uint32_t first, std::uint32_t end, unsigned bits) {
    if (++visited % 4096 == 0) checkpoint();
    // Deepest box holding the whole range: the codes of its first and last
    // point agree on that many leading bits.
    const std::uint64_t diff = codes[first] ^ codes[end - 1];
    const unsigned common = diff == 0 ? 63 : static_cast<unsigned>(__builtin_clzll(diff)) - 1;
    bits = std::max(bits, common);
    const auto index = static_cast<std::uint32_t>(tree.cells.size());
    const Box box = tree.cube.box(codes[first], bits);
    const bool leaf = end - first <= leaf_size || bits >= 63;
    tree.cells.push_back(TreeCell{box.centre.x, box.centre.y, box.centre.z, box.side, first, end, 0,
                                  static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(leaf)});
    if (leaf) {
      tree.leaves.push_back(index);
    } else {
      if (tree.levels.size() <= bits) tree.levels.resize(bits + 1);
      tree.levels[bits].push_back(index);
      // The range splits where bit `bits + 1` (from the top) turns to one.
      const std::uint64_t half = prefix(codes[first], bits + 1) | 1;
      const auto mid = static_cast<std::uint32_t>(
          std::partition_point(codes.begin() + first, codes.begin() + end,
                               [&](std::uint64_t c) { return prefix(c, bits + 1) < half; }) -
          codes.begin());
      add(first, mid, bits + 1);
      add(mid, end, bits + 1);
    }
    tree.cells[index].subtree_end = static_cast<std::uint32_t>(tree.cells.size());
  }
};

}  // namespace

MortonCube MortonCube::around(std::span<const Vec3> points) {
  MortonCube cube;
  if (points.empty()) return cube;
  Vec3 lo = points[0], hi = points[0];
  for (const Vec3& p : points) {
    lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
    hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
  }
  const double extent = std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z});
  // A little wider than the points, so that none sits on the upper faces;
  // a single point gets a unit-free cube of its own size.
  const double scale = std::max({std::fabs(lo.x), std::fabs(lo.y), std::fabs(lo.z), std::fabs(hi.x),
                                 std::fabs(hi.y), std::fabs(hi.z), 1e-300});
  cube.side = extent > 0.0 ? extent * (1.0 + 1e-9) : scale;
  cube.min_corner = lo;
  return cube;
}

MortonCube MortonCube::enclosing(std::span<const Vec3> points) const {
  MortonCube c = *this;
  for (int doubling = 0; doubling < 2000; ++doubling) {
    bool below[3] = {false, false, false}, all_in = true;
    for (const Vec3& p : points) {
      if (inside(c, p)) continue;
      all_in = false;
      below[0] = below[0] || p.x < c.min_corner.x;
      below[1] = below[1] || p.y < c.min_corner.y;
      below[2] = below[2] || p.z < c.min_corner.z;
    }
    if (all_in) return c;
    // Doubling keeps the lattice: the old cube becomes one of the new one's octants.
    if (below[0]) c.min_corner.x -= c.side;
    if (below[1]) c.min_corner.y -= c.side;
    if (below[2]) c.min_corner.z -= c.side;
    c.side *= 2.0;
  }
  return c;  // points beyond any doubling (not finite) are clamped onto the cube
}

std::uint64_t MortonCube::code(const Vec3& p) const {
  const Vec3 n = morton::normalize(p, side, min_corner);
  const auto clamp = [](double v) { return std::isnan(v) ? 0.0 : std::min(1.0, std::max(0.0, v)); };
  return morton::interleave(morton::quantize({clamp(n.x), clamp(n.y), clamp(n.z)}, morton::scale));
}

Box MortonCube::box(std::uint64_t code, unsigned bits) const {
  std::uint32_t q[3] = {0, 0, 0};
  for (unsigned bit = 0; bit < depth; ++bit)
    for (unsigned k = 0; k < 3; ++k) q[k] |= static_cast<std::uint32_t>((code >> (3 * bit + k)) & 1U) << bit;
  // Bits 62, 61, 60 split z, y, x: after `bits` of them z has had the most halvings.
  double centre[3], lo[3] = {min_corner.x, min_corner.y, min_corner.z};
  unsigned largest = 0;
  for (unsigned k = 0; k < 3; ++k) {
    const unsigned halvings = (bits + k) / 3;  // bits of axis k among the leading `bits`
    const double size = std::ldexp(side, -static_cast<int>(halvings));
    centre[k] = lo[k] + (static_cast<double>(q[k] >> (depth - halvings)) + 0.5) * size;
    if (k == 0) largest = halvings;
  }
  return {{centre[0], centre[1], centre[2]}, std::ldexp(side, -static_cast<int>(largest))};
}

Octree Octree::build(std::span<const Vec3> points, const MortonCube& cube, std::uint32_t leaf_size) {
  Octree tree;
  tree.cube = cube;
  const std::size_t n = points.size();
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(n);
  for (std::size_t i = 0; i < n; ++i) keyed[i] = {cube.code(points[i]), static_cast<std::uint32_t>(i)};
  std::sort(keyed.begin(), keyed.end());
  tree.order.resize(n);
  std::vector<std::uint64_t> codes(n);
  for (std::size_t i = 0; i < n; ++i) {
    tree.order[i] = keyed[i].second;
    codes[i] = keyed[i].first;
  }
  if (n == 0) return tree;
  Builder builder{codes, std::max<std::uint32_t>(1, leaf_size), tree};
  builder.add(0, static_cast<std::uint32_t>(n), 0);
  return tree;
}

std::size_t Octree::memory_bytes() const {
  std::size_t s = bytes(order) + bytes(cells) + bytes(leaves);
  for (const auto& l : levels) s += bytes(l) + sizeof(l);
  return s;
}

ElementData element_data(std::span<const Vec3> nodes, std::span<const Element> elements) {
  const std::size_t n = elements.size();
  ElementData d;
  d.centroids.resize(n);
  d.volumes.resize(n);
  d.radius.resize(n);
  centroids(nodes, elements, d.centroids);
  volumes(nodes, elements, d.volumes);
  for (std::size_t e = 0; e < n; ++e) {
    if (e % 4096 == 0) checkpoint();
    double r = 0.0;
    for (const Vec3& p : element_nodes(nodes, elements[e])) r = std::max(r, distance(p, d.centroids[e]));
    d.radius[e] = r;
  }
  return d;
}

}  // namespace zandrel
