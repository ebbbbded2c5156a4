#pragma once
// A linear map from per-element magnetisations of a tetrahedral mesh to the
// field H at a set of targets, built once per mesh (geometry only) and
// applied many times: a fast multipole method over the elements.
//
// Far from a target an element stands for the point dipoles of a quadrature
// rule (their moments are the element's up to the rule's degree). Their field
// reaches the targets through the octree's expansions about geometric cell
// centres (multipoles up the source tree, conversions into local expansions
// of well-separated target cells, locals down the target tree) or, between
// leaves that are not well separated, directly. Close to a target the rule is
// not accurate enough: within an inner zone (a few element radii, kept out of
// the expansions) the element acts through the exact closed form of its face
// charges instead, and in a shell around it through the point dipoles plus a
// correction to the closed form. These near blocks (the 3x3 field per unit
// magnetisation of each close pair) are computed once and stored compactly,
// or, for one-off targets, tight accuracy and past a memory limit per
// element, recomputed per application.
// Every step is linear in the magnetisation, and every target's result is a
// sum in a fixed order that depends neither on the thread count nor on the
// instruction set.
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/dispatch/kernel_table.hpp"
#include "core/mesh/mesh.hpp"
#include "core/operator/interaction_lists.hpp"
#include "core/operator/operator_api.hpp"
#include "core/operator/operator_tree.hpp"
#include "core/operator/tet_quadrature.hpp"
#include "core/parallel.hpp"
#include "core/vec3.hpp"

namespace zandrel {

struct OperatorParams {
  int order = 8;               // expansion order p
  double theta = 0.6;          // well separated: r_a + r_b <= theta * distance
  double inner_factor = 1.0;   // inner near zone: closed form within this many element radii
  double outer_factor = 2.0;   // near shell: rule plus stored correction up to this many radii
  int rule_degree = 3;         // degree of every element's far-field rule (2: four points)
  bool exact_math = false;     // library atan2/log in the closed form
  bool store_near = true;      // near blocks stored (quantised) rather than recomputed per application
  bool single_direct = false;  // direct point dipoles in single precision (relative error ~1e-6 per pair)
  std::uint32_t leaf_size = 16;         // elements per source leaf (at most 16 with stored near blocks)
  // Targets per leaf of a plan's tree. A target leaf gathers the direct
  // point dipoles of its near neighbourhood once and its targets share them,
  // four at a time, so with single-precision dipoles larger target leaves
  // pay (fewer gathers and conversions per target, for a few more dipoles).
  std::uint32_t target_leaf_size = 16;
  // The most bytes the operator and a stored plan may hold per element (per
  // target, where the plan has more targets than the mesh has elements; 0:
  // no limit), or 1 MiB in all if that is more. The near zones scale with each element's own radius, so
  // elongated elements have many more near pairs; past the limit the near
  // blocks of some target leaves are computed at every application instead
  // of stored (the same blocks, so the same field; more time, less memory).
  double max_bytes_per_element = 0.0;
};

// A set of targets with everything an application needs about them.
struct TargetPlan {
  std::size_t n_targets = 0;
  Octree tree;                        // over the targets
  std::vector<double> radius;         // per target cell
  std::vector<double> tx, ty, tz;     // tree order
  InteractionLists lists;
  // Rotation tables of the conversions and of the translations down the tree
  // (each cell's offset from its parent), and the z matrices of both.
  std::vector<double> rotations, z_to_local, z_down;
  std::vector<std::uint32_t> down_rotation;
  std::size_t n_rotations = 0;
  std::vector<std::uint32_t> conversion_order;  // the cells level by level: the conversions' pieces
  bool stored = false;                // near blocks quantised here (else computed per application)
  std::vector<std::uint8_t> masks;
  std::vector<std::int16_t> inner;
  std::vector<std::uint8_t> shell;
  std::vector<std::uint64_t> mask_start, inner_start, shell_start;  // per leaf position, then the totals
  // Per leaf position, when some are over the memory limit: 1 where the
  // leaf's near blocks are computed per application (none of them stored).
  std::vector<std::uint8_t> computed;
  // Per leaf position, then the total: the first of the pairs whose blocks
  // are computed per application (every leaf's when none are stored).
  std::vector<std::uint64_t> computed_start;
  std::size_t near_pairs = 0, computed_pairs = 0, p2p_pairs = 0, m2l_pairs = 0;

  std::size_t memory_bytes() const;
};

// CPU seconds (all threads) of the phases of one application.
struct ApplyProfile {
  double multipoles = 0.0, multipole_to_local = 0.0, locals = 0.0, leaves = 0.0;
};

class FieldOperator {
 public:
  // The mesh must be valid (every node index below nodes.size()). `isa`
  // picks the kernels' build (the best the processor has by default); the
  // results are the same bits for every one.
  FieldOperator(std::span<const Vec3> nodes, std::span<const Element> elements, const OperatorParams& params,
                std::uint32_t threads);
  FieldOperator(std::span<const Vec3> nodes, std::span<const Element> elements, const OperatorParams& params,
                std::uint32_t threads, Isa isa);

  std::size_t n_elements() const { return elements_.size(); }
  const OperatorParams& params() const { return params_; }

  // Targets at the centroids of the given elements (all elements when
  // all_rows is set), or at arbitrary points. `store` keeps the near blocks
  // (when the parameters allow it) for repeated application.
  TargetPlan plan_rows(std::span<const std::uint32_t> rows, bool all_rows) const;
  TargetPlan plan_points(const Columns& points, bool store) const;

  // out (3 columns of plan.n_targets) = H at the plan's targets from m (E x 3, row-major).
  void apply(const TargetPlan& plan, std::span<const double> m, Columns& out,
             ApplyProfile* profile = nullptr) const;

  // out[9 i ..]: the 3x3 field per unit magnetisation of element rows[i] at its own centroid.
  void self_tensors(std::span<const std::uint32_t> rows, std::span<double> out) const;

  // Bytes held by the operator itself (excluding plans), and per application.
  std::size_t memory_bytes() const;
  std::size_t apply_workspace_bytes(const TargetPlan& plan) const;

 private:
  SourceView source_view() const;
  TargetView target_view(const TargetPlan& plan) const;
  TargetPlan plan_for(std::span<const Vec3> targets, const MortonCube& cube, bool store) const;
  void store_near_blocks(TargetPlan& plan) const;
  std::vector<std::uint8_t> leaves_over_limit(const TargetPlan& plan) const;
  void count_computed_pairs(TargetPlan& plan) const;

  OperatorParams params_;
  std::uint32_t threads_;
  const OperatorKernels* kernels_;
  std::vector<Vec3> nodes_;
  std::vector<Element> elements_;
  TetRule rule_;
  Octree tree_;
  SourceCells source_cells_;
  // Rotation tables of the translations up the source tree (each cell's
  // offset from its parent), and their z matrices.
  std::vector<std::uint32_t> up_rotation_;
  std::vector<std::uint32_t> leaves_by_size_;  // the source leaves by element count (their multipoles' order)
  std::vector<double> up_rotations_, z_up_;
  // Per element in tree order: centroid, squared near-zone radii, volume, rule points.
  std::vector<double> cx_, cy_, cz_, inner2_, outer2_, volume_, px_, py_, pz_;
  // With single-precision direct dipoles: the rule points in their source
  // leaf's units, leaf by leaf, and the leaf of every tree position (see SourceView).
  std::vector<float> unit_points_;
  std::vector<std::uint32_t> leaf_of_;
};

}  // namespace zandrel
