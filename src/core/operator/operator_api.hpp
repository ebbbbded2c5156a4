#pragma once
// The boundary between the per-instruction-set builds of the operator's
// kernels and the rest of it: plain records of pointers and counts, no inline
// code (see core/dispatch/kernel_table.hpp for why).
#include <cstddef>
#include <cstdint>

namespace zandrel {

// One cell of an octree, in pre-order (a cell precedes its subtree; its first
// child is the next cell; subtree_end is one past its last descendant). The
// centre is the cube's geometric centre, so that the expansions are linear in
// the magnetisation, and every cube lies on one lattice of power-of-two sides.
struct TreeCell {
  double cx, cy, cz;
  double side;
  std::uint32_t first, end;  // the cell's points, as a range of tree positions
  std::uint32_t subtree_end;
  std::uint8_t level, is_leaf;
};

// The elements as sources, every per-element array in tree order and padded
// with `padding` zero elements (whole vectors may be loaded from any
// position). Each element stands in the far field for the point dipoles
// w_k V M at its rule points; near a target (squared distance from its
// centroid below `inner2`) it takes the closed form instead, and up to
// `outer2` the point dipoles plus a stored correction to the closed form, or
// the closed form computed per application (NearBlocks).
inline constexpr std::size_t padding = 8;
inline constexpr std::size_t expansion_padding = 8;
// The most elements a source leaf may hold when near blocks are stored
// (16-bit element masks) or dipoles kept in single precision (16-slot blocks).
inline constexpr std::uint32_t leaf_slots = 16;
// Floats per source leaf of the single-precision point data (three
// components of each rule point for every slot), laid out leaf by leaf so
// that a leaf's points are read as one contiguous run.
inline constexpr std::size_t single_block(std::size_t rule_points) { return 3 * rule_points * leaf_slots; }
// Within a leaf's block: component c of rule point k of the leaf's element i.
inline constexpr std::size_t single_at(std::size_t k, std::size_t c, std::size_t i) {
  return (3 * k + c) * leaf_slots + i;
}

struct SourceView {
  const double* nodes;              // (N, 3), mesh order
  const std::uint32_t* elements;    // (E, 4), mesh order
  const std::uint32_t* order;       // tree position -> element id
  const double *cx, *cy, *cz;       // centroids
  const double *inner2, *outer2;    // squared radii of the two near zones
  const double* volume;
  // Rule point k of element j at [k * stride + j]; null with single_direct
  // (then formed from the nodes where needed, and the multipoles take the
  // offsets of unit_points).
  const double *px, *py, *pz;
  const double* rule_weights;
  const double* rule_barycentric;   // four per rule point: the weights of the element's nodes
  std::size_t rule_points;
  std::size_t n_elements;
  std::size_t stride;               // n_elements + padding
  const TreeCell* cells;
  std::size_t n_cells;
  int order_p;         // expansion order
  bool single_direct;  // the direct point dipoles in single precision
  // With single_direct: per source leaf (in the order of `leaves`) a block
  // of single_block(rule_points) floats, rule point k of the leaf's element
  // i (tree position first + i) as an offset from the leaf's centre in units
  // of its side, component c at single_at(k, c, i); and the leaf
  // (its place in `leaves`) of every tree position.
  const float* unit_points;
  const std::uint32_t* leaves;
  const std::uint32_t* leaf_of;
};

// A set of targets in the order of their own tree (on the lattice of the
// sources'), and its leaves' interaction lists (CSR over leaf positions in
// `leaves`): the ranges of elements (tree positions, first and end) taken
// directly as point dipoles, and the source leaves holding elements whose
// near zones reach its targets.
struct TargetView {
  const double *tx, *ty, *tz;
  std::size_t n_targets;
  const TreeCell* cells;
  std::size_t n_cells;
  const std::uint32_t* leaves;
  std::size_t n_leaves;
  const std::uint32_t *direct_offsets, *direct;  // direct: first, end pairs
  const std::uint32_t *near_offsets, *near;
};

// One translation of an expansion (translations.hpp): `src` of the input
// cells into `dst` of the output cells, by the offset (dx, dy, dz) in the
// output's units of length (see translation::Kind for its direction), whose
// polar angle has the rotation tables number `rotation`. `ratio` converts
// units: a multipole's degree n is multiplied by ratio^(n+1) on the way in
// (ratio = input side / output unit), a local's by ratio^n on the way out
// (ratio = output side / input side).
struct TranslationJob {
  std::uint32_t rotation, dst, src;
  double dx, dy, dz, ratio;
};

// The near blocks of every (target, element) pair in a near zone, as the
// symmetric 3x3 field per unit magnetisation. Stored blocks are the closed
// form for the inner zone and the closed form minus the rule's point dipoles
// for the outer shell (a small correction, kept in few bits); blocks
// computed per application are the closed form in both zones, and the point
// dipoles of all those pairs are skipped. Pairs follow the enumeration order (target by target in tree order; per
// target its leaf's near source leaves in list order, their elements in tree
// order). Either quantised, with the pairs of each target marked, first
// those of the inner zone and then those of the shell, as a two-byte count
// and then one three-byte word per near source leaf holding any: the step of
// its position in the leaf's near list from the previous word's, and a
// 16-bit mask of its elements (bytes from mask_start per target leaf); and
// two streams: inner (xx yy zz xy xz yz as 16-bit integers times 2^e, e
// in the seventh) and shell (five bytes: xx yy xy xz yz as 7-bit integers
// times 2^e and -1 - e in the top five bits; zz = -xx - yy), from
// inner_start/shell_start per target leaf, multiplied out in single
// precision with `mags` (M rounded to floats, columns like the doubles'); or,
// for one target leaf, computed: in doubles (6 per pair, both zones in one
// stream), the pairs of its target i (from the leaf's first) from start[i]
// to start[i + 1] (indices into `blocks`), and per pair in `where` its
// element (tree position) and the place of the element's leaf in the target
// leaf's near list.
struct NearBlocks {
  bool quantised;
  const float* mags;
  const std::uint8_t* masks;
  const std::int16_t* inner;
  const std::uint8_t* shell;
  const std::uint64_t *mask_start, *inner_start, *shell_start;  // per target leaf position (from `begin`)
  const double* blocks;
  const std::uint64_t* start;
  const std::uint32_t* where;
};
inline constexpr std::size_t inner_words = 7, shell_bytes = 5;

struct OperatorKernels {
  std::size_t lanes;
  // Normalised multipoles (in units of the cell's side) of the given source
  // leaves from the magnetisations M (columns x, y, z of `stride` each, tree order).
  void (*leaf_multipoles)(const SourceView& s, const double* mags, const std::uint32_t* leaves, std::size_t count,
                          double* multipoles);
  // Adds the translations of the jobs (sorted by rotation, then output cell)
  // of one kind into `out`; each output cell receives its jobs in their
  // order. Expansions are 2 * count(p) doubles per cell (real parts, then
  // imaginary parts), normalised; both arrays end in expansion_padding
  // doubles that may be read.
  void (*translate)(int kind, int p, const double* rotations, const double* z, const TranslationJob* jobs,
                    std::size_t count, const double* in, double* out);
  // H at the targets of target leaves begin..end-1 (positions in t.leaves):
  // their local expansion, the direct point dipoles and the near blocks;
  // written to out (tree order). With single_direct, `moments` holds the
  // point dipoles' moments w_k V M / (4 pi 3^(3/2) L^3), L the side of the element's
  // source leaf, rounded to single precision, in the leaf blocks of
  // SourceView::unit_points.
  void (*leaf_fields)(const SourceView& s, const TargetView& t, const double* locals, const double* mags,
                      const float* moments, const NearBlocks& near, std::size_t begin, std::size_t end, double* hx,
                      double* hy, double* hz);
  // Where the near pairs of each target of leaf positions first..end-1
  // start, target by target in tree order and each in enumeration order
  // (n + 1 offsets for their n targets).
  void (*near_pair_starts)(const SourceView& s, const TargetView& t, std::size_t first, std::size_t end,
                           std::uint64_t* starts);
  // The near blocks of those pairs (6 doubles each; `out` holds them all),
  // where each target's start (written to `starts` as above), and in
  // `where` (when not null) each pair's element and near list place (see
  // NearBlocks). A block is the closed form, minus the rule's point dipoles
  // in the shell unless the pair's dipoles are skipped: always with
  // `corrections` (to be stored), else where its source leaf is not taken
  // directly. `exact` picks the library arctangent and logarithm.
  void (*near_blocks)(const SourceView& s, const TargetView& t, std::size_t first, std::size_t end, bool exact,
                      bool corrections, std::uint64_t* starts, double* out, std::uint32_t* where);
  // 3x3 field per unit magnetisation of each listed element at its own
  // centroid, row-major (out[9 i + 3 r + c] = H_r for M = e_c).
  void (*self_tensors)(const SourceView& s, const std::uint32_t* elements, std::size_t count, bool exact,
                       double* out);
};

}  // namespace zandrel

#define ZANDREL_DECLARE_OPERATOR_TABLE                                      \
  namespace zandrel {                                                        \
  namespace isa_portable { const OperatorKernels& operator_kernels_table(); } \
  namespace isa_avx2 { const OperatorKernels& operator_kernels_table(); }     \
  namespace isa_avx512 { const OperatorKernels& operator_kernels_table(); }   \
  }
