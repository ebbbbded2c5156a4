#include "core/operator/interaction_lists.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "core/errors.hpp"
#include "core/operator/pieces.hpp"

namespace zandrel {
namespace {

template <class T>
std::size_t bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

double centre_distance(const TreeCell& a, const TreeCell& b) {
  const double dx = a.cx - b.cx, dy = a.cy - b.cy, dz = a.cz - b.cz;
  return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

struct DualWalk {
  const Octree& t;
  std::span<const double> ra;
  const Octree& s;
  const SourceCells& sc;
  double theta;
  const std::vector<std::uint32_t>& leaf_position;
  std::vector<std::vector<std::uint32_t>>& m2l;                     // per target cell: sources
  std::vector<std::vector<std::uint32_t>>& p2p;                     // per target leaf position
  std::size_t visited = 0;

  void visit(std::uint32_t a, std::uint32_t b) {
    if (++visited % 65536 == 0) checkpoint();
    const TreeCell& A = t.cells[a];
    const TreeCell& B = s.cells[b];
    const double d = centre_distance(A, B);
    if (ra[a] + sc.radius[b] <= theta * d && d - ra[a] >= sc.reach_in[b]) {
      m2l[a].push_back(b);
      return;
    }
    if (A.is_leaf && B.is_leaf) {
      p2p[leaf_position[a]].push_back(b);
      return;
    }
    if (B.is_leaf || (!A.is_leaf && ra[a] >= sc.radius[b])) {
      for (std::uint32_t c = a + 1; c < A.subtree_end; c = t.cells[c].subtree_end) visit(c, b);
    } else {
      for (std::uint32_t c = b + 1; c < B.subtree_end; c = s.cells[c].subtree_end) visit(a, c);
    }
  }
};

// Source leaves whose outer near zones reach target cell a (a leaf).
void near_leaves(const Octree& s, const SourceCells& sc, const TreeCell& A, double ra, std::vector<std::uint32_t>& out,
                 std::vector<std::uint32_t>& stack) {
  stack.assign(1, 0);
  while (!stack.empty()) {
    const std::uint32_t b = stack.back();
    stack.pop_back();
    const TreeCell& B = s.cells[b];
    if (centre_distance(A, B) - ra >= sc.reach_out[b]) continue;
    if (B.is_leaf) {
      out.push_back(b);
      continue;
    }
    const std::size_t mark = stack.size();
    for (std::uint32_t c = b + 1; c < B.subtree_end; c = s.cells[c].subtree_end) stack.push_back(c);
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(mark), stack.end());
  }
}

}  // namespace

std::size_t InteractionLists::memory_bytes() const {
  return bytes(m2l_offsets) + bytes(m2l_source) + bytes(m2l_rotation) + bytes(direct_offsets) + bytes(direct) +
         bytes(near_offsets) + bytes(near);
}

InteractionLists interaction_lists(const Octree& targets, std::span<const double> target_radius,
                                   const Octree& sources, const SourceCells& source_cells, double theta,
                                   RotationSet& rotations, std::uint32_t threads) {
  InteractionLists out;
  const std::size_t ncells = targets.cells.size(), nleaves = targets.leaves.size();
  std::vector<std::uint32_t> leaf_position(ncells, 0);
  for (std::size_t l = 0; l < nleaves; ++l) leaf_position[targets.leaves[l]] = static_cast<std::uint32_t>(l);
  std::vector<std::vector<std::uint32_t>> m2l(ncells);
  std::vector<std::vector<std::uint32_t>> p2p(nleaves), near(nleaves), direct(nleaves);
  if (ncells > 0 && !sources.cells.empty()) {
    DualWalk walk{targets, target_radius, sources, source_cells, theta, leaf_position, m2l, p2p};
    walk.visit(0, 0);
    for_pieces(nleaves, 256, threads, [&](std::size_t begin, std::size_t end) {
      std::vector<std::uint32_t> stack;
      for (std::size_t l = begin; l < end; ++l) {
        const std::uint32_t a = targets.leaves[l];
        near_leaves(sources, source_cells, targets.cells[a], target_radius[a], near[l], stack);
      }
    });
  }

  // Each conversion's rotation: the polar angle of its offset (target centre minus source centre).
  out.m2l_offsets.assign(1, 0);
  for (std::size_t a = 0; a < ncells; ++a) {
    const TreeCell& A = targets.cells[a];
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    entries.reserve(m2l[a].size());
    for (const std::uint32_t b : m2l[a]) {
      const TreeCell& B = sources.cells[b];
      const std::uint32_t id = rotations.id(A.cx - B.cx, A.cy - B.cy, A.cz - B.cz);
      if (id > 65535) panic("too many distinct interaction directions");
      entries.emplace_back(id, b);
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& [id, b] : entries) {
      out.m2l_source.push_back(b);
      out.m2l_rotation.push_back(static_cast<std::uint16_t>(id));
    }
    out.m2l_offsets.push_back(static_cast<std::uint32_t>(out.m2l_source.size()));
    m2l[a] = {};
  }

  const auto flatten = [](std::vector<std::vector<std::uint32_t>>& lists, std::vector<std::uint32_t>& offsets,
                          std::vector<std::uint32_t>& values) {
    offsets.assign(1, 0);
    for (auto& l : lists) {
      values.insert(values.end(), l.begin(), l.end());
      offsets.push_back(static_cast<std::uint32_t>(values.size()));
      l = {};
    }
  };
  // The direct leaves as element ranges, in tree order, runs of adjacent leaves merged.
  for (std::size_t l = 0; l < nleaves; ++l) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    for (const std::uint32_t b : p2p[l]) ranges.emplace_back(sources.cells[b].first, sources.cells[b].end);
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      if (!direct[l].empty() && direct[l].back() == ranges[r].first) {
        direct[l].back() = ranges[r].second;
      } else {
        direct[l].push_back(ranges[r].first);
        direct[l].push_back(ranges[r].second);
      }
    }
    p2p[l] = {};
  }
  flatten(direct, out.direct_offsets, out.direct);
  flatten(near, out.near_offsets, out.near);
  out.m2l_source.shrink_to_fit();
  out.m2l_rotation.shrink_to_fit();
  out.direct.shrink_to_fit();
  out.near.shrink_to_fit();
  return out;
}

}  // namespace zandrel
