#pragma once
// The Barnes-Hut octree over a source set. Sources are sorted along the
// Morton curve and the sorted run is cut recursively into the eight
// sub-cubes of each cell until a cell holds at most leaf_threshold sources.
// Every branch carries the vector sum of the moments below it and their
// moment-weighted centroid: the single far-field source that stands for its
// subtree.
//
// Nodes are stored in pre-order (a branch precedes its whole subtree, the
// subtrees of its children follow one another in Morton order), so the
// sources of any node are one contiguous range of the sorted set, a branch's
// first child is the next node, and each node records where its subtree ends.
// The evaluation walks this list forwards, skipping accepted subtrees.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/octree/bbox.hpp"
#include "core/octree/node.hpp"
#include "core/octree/sort_by_indices.hpp"
#include "core/octree/sources.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// The stored node (octree/node.hpp).
using Node = OctreeNode;

// The two alternatives of a node as seen from outside the evaluation.
struct Branch {
  std::uint8_t level;
  double size;                            // cube edge side_length / 2^level
  std::array<std::uint32_t, 8> children;  // non-empty sub-cubes in Morton order, then zeros
  Vec3 centroid;
  Vec3 moment;
};
struct Leaf {
  std::uint8_t level;
  std::pair<std::uint32_t, std::uint32_t> source_range;  // (first, end)
  Vec3 centroid;
};
using NodeView = std::variant<Branch, Leaf>;

// The top 3 * level bits of a 63-bit code: the index of the level-`level`
// cell that holds it (code >> 3 * (max_level - level)). A level beyond
// max_level gives the whole code.
std::uint64_t get_prefix(std::uint64_t code, std::uint8_t max_level, std::uint8_t level);

// End of the run of codes from start_index on that share the level-`level`
// prefix of codes[start_index] (codes sorted ascending).
std::size_t get_range_in_same_node(std::span<const std::uint64_t> codes, std::uint8_t level, std::uint8_t max_depth,
                                   std::size_t start_index);

// side_length / 2^level, the power formed as an integer power of 2.0.
double size_at_level(double side_length, std::uint8_t level);

// Moves the running centroid towards child_centroid by weight: each component
// becomes (parent * parent_mag + child * child_mag) / (parent_mag + child_mag).
// No guard: two zero weights give NaN, which then persists.
void update_centroid(Vec3& parent_centroid, double parent_mag, const Vec3& child_centroid, double child_mag);

// The depth diagnostic on standard error, then the abort of the call.
[[noreturn]] void panic_too_deep(std::uint8_t level, std::size_t start, std::size_t end);

template <class S>
struct Octree {
  std::vector<Node> nodes;             // index 0 is the root
  std::vector<std::uint64_t> codes;    // Morton codes in sorted order
  BoundingBox bbox;                    // copy of the source set's box
  S sources;                           // reordered by Morton code
  std::array<double, octree_levels> sizes{};  // size_at_level(bbox.side_length, level)

  double size(std::uint8_t level) const { return sizes[level < sizes.size() ? level : sizes.size() - 1]; }

  // Node idx with its children recovered from the pre-order layout.
  NodeView node(std::size_t idx) const {
    const Node& n = at(nodes, idx);
    if (n.is_leaf) return Leaf{n.level, {n.first, n.end}, centroid_of(n)};
    Branch b{n.level, size(n.level), {}, centroid_of(n), moment_of(n)};
    std::size_t k = 0;
    for (std::uint32_t c = static_cast<std::uint32_t>(idx) + 1; c < n.subtree_end; c = nodes[c].subtree_end)
      b.children[k++] = c;
    return b;
  }
};

// Appends the node of sources start .. end-1 (and its subtree) at `level`;
// returns its index. A cell at max_depth with more than leaf_threshold
// sources (identical codes) gives a child beyond max_depth, which aborts.
template <Sources S>
std::uint32_t add_node(const S& sources, std::span<const std::uint64_t> codes, std::vector<Node>& nodes,
                       std::uint8_t max_depth, std::uint32_t leaf_threshold, std::size_t start, std::size_t end,
                       std::uint8_t level) {
  if (level > max_depth) panic_too_deep(level, start, end);
  const std::size_t count = end - start;
  const auto current_index = static_cast<std::uint32_t>(nodes.size());
  if (current_index % 4096 == 0) checkpoint();  // large trees take a while
  if (count > leaf_threshold) {
    nodes.push_back(Node{0.0, 0.0, 0.0, 0.0, 0.0, 0.0, static_cast<std::uint32_t>(start),
                         static_cast<std::uint32_t>(end), 0, level, 0});

    std::array<std::uint32_t, 8> child_indices{};
    std::size_t n_children = 0;
    const auto child_level = static_cast<std::uint8_t>(level + 1);
    for (std::size_t cursor = start; cursor < end;) {
      const std::size_t child_end = get_range_in_same_node(codes, child_level, max_depth, cursor);
      child_indices[n_children++] =
          add_node(sources, codes, nodes, max_depth, leaf_threshold, cursor, child_end, child_level);
      cursor = child_end;
    }

    // Branch children enter as wholes, leaf children source by source; the
    // weight of the running centroid is the magnitude of the running sum.
    Vec3 parent_centroid, parent_moment;
    for (std::size_t k = 0; k < 8 && child_indices[k] != 0; ++k) {
      const Node& child = nodes[child_indices[k]];
      if (!child.is_leaf) {
        const Vec3 child_moment = moment_of(child);
        update_centroid(parent_centroid, mag(parent_moment), centroid_of(child), mag(child_moment));
        parent_moment = parent_moment + child_moment;
      } else {
        for (std::size_t i = child.first; i < child.end; ++i) {
          const Vec3 m = sources.moment(i);
          update_centroid(parent_centroid, mag(parent_moment), sources.centroid(i), mag(m));
          parent_moment = parent_moment + m;
        }
      }
    }
    Node& stored = nodes[current_index];
    stored.cx = parent_centroid.x, stored.cy = parent_centroid.y, stored.cz = parent_centroid.z;
    stored.mx = parent_moment.x, stored.my = parent_moment.y, stored.mz = parent_moment.z;
    stored.subtree_end = static_cast<std::uint32_t>(nodes.size());
    return current_index;
  }

  Vec3 sum;
  for (std::size_t i = start; i < end; ++i) sum = sum + sources.centroid(i);
  const double scale = 1.0 / static_cast<double>(count);
  const Vec3 centroid = sum * scale;
  nodes.push_back(Node{centroid.x, centroid.y, centroid.z, 0.0, 0.0, 0.0, static_cast<std::uint32_t>(start),
                       static_cast<std::uint32_t>(end), current_index + 1, level, 1});
  return current_index;
}

// Sorts the sources along the Morton curve (stable: equal codes keep their
// order) and builds the tree over them. Takes the source set over.
template <Sources S>
Octree<S> build_from_sources(S s, std::uint8_t max_depth, std::uint32_t leaf_threshold) {
  const std::size_t n = s.len();
  EncodedSources encoded = s.encode(max_depth);
  checkpoint();
  std::vector<std::uint64_t>& codes = encoded.codes;
  // Stable sort by code: equal codes keep their input order (the index
  // breaks ties), so sorting (code, index) pairs gives the stable order.
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
  for (std::size_t i = 0; i < n; ++i) keyed[i] = {at(codes, i), i};
  sort_in_steps(keyed);
  std::vector<std::size_t> indices(n);
  for (std::size_t i = 0; i < n; ++i) indices[i] = keyed[i].second;
  keyed = {};
  s.sort(indices);
  checkpoint();
  std::vector<std::uint64_t> scratch_codes(n, 0);
  sort_by_indices<std::uint64_t>(codes, scratch_codes, indices);

  Octree<S> tree{{}, std::move(codes), encoded.bbox, std::move(s), {}};
  for (std::uint8_t level = 0; level < tree.sizes.size(); ++level)
    tree.sizes[level] = size_at_level(tree.bbox.side_length, level);
  tree.nodes.reserve(n);
  add_node(tree.sources, tree.codes, tree.nodes, max_depth, leaf_threshold, 0, n, 0);
  return tree;
}

ZANDREL_END
