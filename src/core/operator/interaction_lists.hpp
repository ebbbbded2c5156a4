#pragma once
// Who interacts with whom, decided once per set of targets by a dual walk of
// the target and source trees. A pair of cells (target a, source b) whose
// spheres are well separated, r_a + r_b <= theta * |c_a - c_b|, and whose
// elements' inner near zones keep clear of a's targets, is converted from b's
// multipole into a's local expansion; otherwise the larger cell is split, and
// two leaves left over interact directly (point dipoles). Separately, each
// target leaf lists the source leaves whose elements' outer near zones reach
// its targets (their stored or computed near blocks).
#include <cstdint>
#include <span>
#include <vector>

#include "core/operator/operator_tree.hpp"
#include "core/operator/translation_tables.hpp"
#include "core/parallel.hpp"

namespace zandrel {

// Per source cell: the largest distance from its centre to a rule point of
// its elements, and to the far edge of their inner and outer near zones.
struct SourceCells {
  std::vector<double> radius, reach_in, reach_out;
};

struct InteractionLists {
  // CSR over target cells: the source cells converted into each one's local
  // expansion, with the rotation (in `rotations`) of their offset, sorted by it.
  std::vector<std::uint32_t> m2l_offsets, m2l_source;
  std::vector<std::uint16_t> m2l_rotation;
  std::vector<std::uint32_t> direct_offsets, direct;  // CSR over target leaf positions: element ranges (first, end)
  std::vector<std::uint32_t> near_offsets, near;      // CSR over target leaf positions: source leaves

  std::size_t memory_bytes() const;
};

InteractionLists interaction_lists(const Octree& targets, std::span<const double> target_radius,
                                   const Octree& sources, const SourceCells& source_cells, double theta,
                                   RotationSet& rotations, std::uint32_t threads);

}  // namespace zandrel
