#include "core/operator/field_operator.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <numeric>
#include <utility>

#include <time.h>

#include "core/constants.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/operator/harmonics.hpp"
#include "core/operator/near_pairs.hpp"
#include "core/operator/pieces.hpp"
#include "core/operator/translation_tables.hpp"
#include "core/operator/translations.hpp"

ZANDREL_DECLARE_OPERATOR_TABLE

namespace zandrel {
namespace {

using harmonics::Complex;

// Sizes of the parallel pieces: small enough that an interruption is seen
// within a fraction of a second, large enough to amortise the hand-over.
constexpr std::size_t elements_per_piece = 4096;
constexpr std::size_t leaves_per_piece = 16;
constexpr std::size_t cells_per_piece = 32;
// Consecutive target leaves whose near blocks are computed together (their
// near lists overlap, so each element's faces are prepared once for all).
constexpr std::size_t computed_group = 4;

template <class T>
std::size_t bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Only the build asked for is touched, so a build the processor cannot run is never entered.
const OperatorKernels& kernels_for(Isa isa) {
  switch (isa) {
#if !defined(ZANDREL_PORTABLE_ONLY)
    case Isa::avx512: return isa_avx512::operator_kernels_table();
    case Isa::avx2: return isa_avx2::operator_kernels_table();
#endif
    default: return isa_portable::operator_kernels_table();
  }
}

// Largest distance from each cell's centre to a point of its range (points in tree order).
template <class Reach>
std::vector<double> cell_reach(const Octree& tree, std::uint32_t threads, Reach&& reach) {
  std::vector<double> out(tree.cells.size(), 0.0);
  for_pieces(tree.cells.size(), 256, threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t c = begin; c < end; ++c) {
      const TreeCell& cell = tree.cells[c];
      const Vec3 centre{cell.cx, cell.cy, cell.cz};
      double r = 0.0;
      for (std::uint32_t s = cell.first; s < cell.end; ++s) r = std::max(r, reach(centre, s));
      out[c] = r;
    }
  });
  return out;
}

// The offset of each cell from its parent, in the parent's units, as the
// rotation of the translation between them (0 for the roots).
std::vector<std::uint32_t> parent_rotations(const Octree& tree, RotationSet& rotations) {
  std::vector<std::uint32_t> out(tree.cells.size(), 0);
  for (std::size_t c = 0; c < tree.cells.size(); ++c) {
    const TreeCell& parent = tree.cells[c];
    if (parent.is_leaf) continue;
    for (std::uint32_t ch = static_cast<std::uint32_t>(c) + 1; ch < parent.subtree_end; ch = tree.cells[ch].subtree_end) {
      const TreeCell& child = tree.cells[ch];
      out[ch] = rotations.id(child.cx - parent.cx, child.cy - parent.cy, child.cz - parent.cz);
    }
  }
  return out;
}

// Translation jobs between each listed branch cell and its children: up the
// tree (child multipole into the parent) or down (parent local into the child).
std::vector<TranslationJob> child_jobs(const Octree& tree, std::span<const std::uint32_t> branches,
                                       const std::vector<std::uint32_t>& rotation, bool up) {
  std::vector<TranslationJob> jobs;
  for (const std::uint32_t p : branches) {
    const TreeCell& parent = tree.cells[p];
    for (std::uint32_t ch = p + 1; ch < parent.subtree_end; ch = tree.cells[ch].subtree_end) {
      const TreeCell& child = tree.cells[ch];
      jobs.push_back(TranslationJob{rotation[ch], up ? p : ch, up ? ch : p, (child.cx - parent.cx) / parent.side,
                                    (child.cy - parent.cy) / parent.side, (child.cz - parent.cz) / parent.side,
                                    child.side / parent.side});
    }
  }
  return jobs;
}

// Groups the jobs by rotation (so that vectors of jobs share one), keeping
// their order within a rotation: a stable counting sort, since jobs are built
// output cell by output cell and every output must receive its jobs in an
// order that depends on nothing else.
void sort_jobs(std::vector<TranslationJob>& jobs) {
  if (jobs.empty()) return;
  std::uint32_t largest = 0;
  for (const TranslationJob& job : jobs) largest = std::max(largest, job.rotation);
  std::vector<std::size_t> start(std::size_t{largest} + 2, 0);
  for (const TranslationJob& job : jobs) ++start[std::size_t{job.rotation} + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<TranslationJob> sorted(jobs.size());
  for (const TranslationJob& job : jobs) sorted[start[job.rotation]++] = job;
  jobs.swap(sorted);
}

// The cells level by level, each level in tree order (a stable counting sort).
std::vector<std::uint32_t> cells_by_level(const Octree& tree) {
  std::vector<std::size_t> start(257, 0);
  for (const TreeCell& c : tree.cells) ++start[std::size_t{c.level} + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<std::uint32_t> order(tree.cells.size());
  for (std::size_t a = 0; a < tree.cells.size(); ++a) order[start[tree.cells[a].level]++] = static_cast<std::uint32_t>(a);
  return order;
}

// The near blocks of target leaves first..end-1 (six numbers, the symmetric
// 3x3, per pair: target by target, each in for_near_pairs order), each
// target's first pair and, when `where` is given, each pair's element and
// near list place.
struct LeafNearBlocks {
  std::vector<std::uint64_t> starts;
  std::vector<double> blocks;
  std::vector<std::uint32_t> where;
};

void leaf_near_blocks(const OperatorKernels& k, const SourceView& s, const TargetView& t, const TargetPlan& plan,
                      std::size_t first, std::size_t end, std::uint64_t pairs, bool exact_math, bool corrections,
                      bool where, LeafNearBlocks& out) {
  const std::uint32_t targets =
      plan.tree.cells[plan.tree.leaves[end - 1]].end - plan.tree.cells[plan.tree.leaves[first]].first;
  out.starts.resize(targets + 1);
  out.blocks.resize(6 * pairs);
  out.where.resize(where ? 2 * pairs : 0);
  k.near_blocks(s, t, first, end, exact_math, corrections, out.starts.data(), out.blocks.data(),
                where ? out.where.data() : nullptr);
  if (out.starts.back() != pairs) panic("near pairs miscounted");
}

// 2^e for a normal exponent e: scaling by it is exact, like ldexp, without the library call.
double power_of_two(int e) { return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52); }

// A near-shell block (traceless outside the element) in five bytes: the
// components xx yy xy xz yz as 7-bit two's complement integers times 2^e
// (bits 7k..7k+6), and -1 - e in the top five bits (e from -32 to -1: the
// corrections are well below one; smaller ones than 2^-32 round to zero).
void quantise_shell(const double* b, std::uint8_t* out) {
  const double v[5] = {b[0], b[1], b[3], b[4], b[5]};
  double largest = 0.0;
  for (double x : v) largest = std::max(largest, std::fabs(x));
  int e = -32;
  if (largest > 0.0) {
    std::frexp(largest / 63.0, &e);  // largest / 63 < 2^e
    e = std::min(std::max(e, -32), -1);
  }
  std::uint64_t word = static_cast<std::uint64_t>(-1 - e) << 35;
  for (int k = 0; k < 5; ++k) {
    const long q = std::clamp(std::lround(v[k] * power_of_two(-e)), -64L, 63L);
    word |= (static_cast<std::uint64_t>(q) & 0x7F) << (7 * k);
  }
  for (int k = 0; k < 5; ++k) out[k] = static_cast<std::uint8_t>(word >> (8 * k));
}

// An inner block (trace -1 inside the element, 0 outside) as six 16-bit
// integers times 2^e and e: xx yy zz xy xz yz.
void quantise_inner(const double* b, std::int16_t* out) {
  double largest = 0.0;
  for (int k = 0; k < 6; ++k) largest = std::max(largest, std::fabs(b[k]));
  int e = -1022;
  if (largest > 0.0) {
    std::frexp(largest / 32767.0, &e);
    e = std::clamp(e, -1022, 1022);  // 2^-e normal (the blocks are finite: e <= 1009)
  }
  const double scale = power_of_two(-e);
  for (int k = 0; k < 6; ++k) out[k] = static_cast<std::int16_t>(std::lround(b[k] * scale));
  out[6] = static_cast<std::int16_t>(e);
}

// A target's pairs of one zone as bytes: the number of words (two bytes,
// little end first), then per word the step of its near-list position from
// the previous word's (one byte; longer steps go through empty words) and
// the mask (two bytes).
// The mask words a step of `step` places along the near list takes: one,
// after a blank word for every 255 places beyond the first 255.
std::uint32_t mask_words(std::uint32_t step) { return step > 255 ? 1 + (step - 1) / 255 : 1; }

void encode_near_masks(const std::vector<std::pair<std::uint32_t, std::uint16_t>>& words,
                       const std::vector<std::uint32_t>& renumbered, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> body;
  std::uint32_t count = 0, previous = 0;
  for (const auto& [position, mask] : words) {
    std::uint32_t step = renumbered[position] - previous;
    previous = renumbered[position];
    for (std::uint32_t blank = mask_words(step) - 1; blank > 0; --blank, step -= 255, ++count)
      body.insert(body.end(), {255, 0, 0});
    body.insert(body.end(), {static_cast<std::uint8_t>(step), static_cast<std::uint8_t>(mask & 0xFF),
                             static_cast<std::uint8_t>(mask >> 8)});
    ++count;
  }
  if (count > 65535) panic("too many near leaves for one target");
  out.push_back(static_cast<std::uint8_t>(count & 0xFF));
  out.push_back(static_cast<std::uint8_t>(count >> 8));
  out.insert(out.end(), body.begin(), body.end());
}

}  // namespace

std::size_t TargetPlan::memory_bytes() const {
  return tree.memory_bytes() + bytes(radius) + bytes(tx) + bytes(ty) + bytes(tz) + lists.memory_bytes() +
         bytes(rotations) + bytes(z_to_local) + bytes(z_down) + bytes(down_rotation) + bytes(conversion_order) +
         bytes(masks) + bytes(inner) + bytes(shell) + bytes(mask_start) + bytes(inner_start) + bytes(shell_start) +
         bytes(computed) + bytes(computed_start);
}

FieldOperator::FieldOperator(std::span<const Vec3> nodes, std::span<const Element> elements,
                             const OperatorParams& params, std::uint32_t threads)
    : FieldOperator(nodes, elements, params, threads, best_isa()) {}

FieldOperator::FieldOperator(std::span<const Vec3> nodes, std::span<const Element> elements,
                             const OperatorParams& params, std::uint32_t threads, Isa isa)
    : params_(params),
      threads_(threads),
      kernels_(&kernels_for(isa)),
      nodes_(nodes.begin(), nodes.end()),
      elements_(elements.begin(), elements.end()),
      rule_(tet_rule(params.rule_degree)) {
  if (params.order < 2 || params.order > harmonics::max_order) panic("expansion order out of range");
  if (params.inner_factor < 1.0 || params.outer_factor < params.inner_factor) panic("near zones out of order");
  if (elements.size() >= (std::size_t{1} << 31)) panic("too many elements for one operator");
  // The serial part of the build runs on the calling thread; the tree
  // builder checks for an interruption as it goes.
  const ElementData data = element_data(nodes_, elements_);
  tree_ = Octree::build(data.centroids, MortonCube::around(data.centroids), params.leaf_size);
  // A leaf at the tree's full depth may hold more elements than leaf_size
  // (centroids closer than 2^-21 of the mesh's extent: extreme grading).
  // Stored near blocks address a source leaf's elements by 16-bit masks, and
  // the single-precision dipoles are kept in 16-slot leaf blocks, so such a
  // mesh computes its near blocks and dipoles per application instead.
  std::uint32_t largest_leaf = 0;
  for (const std::uint32_t leaf : tree_.leaves)
    largest_leaf = std::max(largest_leaf, tree_.cells[leaf].end - tree_.cells[leaf].first);
  if (largest_leaf > leaf_slots) {
    params_.store_near = false;
    params_.single_direct = false;
  }
  const std::size_t n = elements_.size(), npts = rule_.weights.size(), stride = n + padding;
  for (auto* v : {&cx_, &cy_, &cz_, &inner2_, &outer2_, &volume_}) v->assign(stride, 0.0);
  for (auto* v : {&px_, &py_, &pz_}) v->assign(npts * stride, 0.0);
  for_pieces(n, elements_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    for (std::size_t s = begin; s < end; ++s) {
      const std::uint32_t e = tree_.order[s];
      const Vec3 c = data.centroids[e];
      cx_[s] = c.x;
      cy_[s] = c.y;
      cz_[s] = c.z;
      const double ri = params_.inner_factor * data.radius[e], ro = params_.outer_factor * data.radius[e];
      inner2_[s] = ri * ri;
      outer2_[s] = ro * ro;
      volume_[s] = data.volumes[e];
      const std::array<Vec3, 4> corners = element_nodes(nodes_, elements_[e]);
      for (std::size_t k = 0; k < npts; ++k) {
        const Vec3 x = rule_point(corners, rule_.barycentric[k].data());
        px_[k * stride + s] = x.x;
        py_[k * stride + s] = x.y;
        pz_[k * stride + s] = x.z;
      }
    }
  });
  source_cells_.radius = cell_reach(tree_, threads_, [&](const Vec3& centre, std::uint32_t s) {
    double r = 0.0;
    for (std::size_t k = 0; k < npts; ++k)
      r = std::max(r, mag(Vec3{px_[k * stride + s], py_[k * stride + s], pz_[k * stride + s]} - centre));
    return r;
  });
  const auto zone = [&](double factor) {
    return [&, factor](const Vec3& centre, std::uint32_t s) {
      return mag(Vec3{cx_[s], cy_[s], cz_[s]} - centre) + factor * data.radius[tree_.order[s]];
    };
  };
  source_cells_.reach_in = cell_reach(tree_, threads_, zone(params_.inner_factor));
  source_cells_.reach_out = cell_reach(tree_, threads_, zone(params_.outer_factor));
  if (params_.single_direct) {
    // Offsets within the leaf are a fraction of its side, so single
    // precision keeps them to ~1e-7 of it whatever the mesh's extent.
    const std::size_t block = single_block(npts);
    leaf_of_.assign(stride, 0);
    unit_points_.assign(tree_.leaves.size() * block, 0.0f);
    for_pieces(tree_.leaves.size(), 64, threads_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t l = begin; l < end; ++l) {
        const TreeCell& leaf = tree_.cells[tree_.leaves[l]];
        float* u = unit_points_.data() + l * block;
        for (std::uint32_t pos = leaf.first; pos < leaf.end; ++pos) {
          leaf_of_[pos] = static_cast<std::uint32_t>(l);
          const std::size_t i = pos - leaf.first;
          for (std::size_t k = 0; k < npts; ++k) {
            const std::size_t at = k * stride + pos;
            u[single_at(k, 0, i)] = static_cast<float>((px_[at] - leaf.cx) / leaf.side);
            u[single_at(k, 1, i)] = static_cast<float>((py_[at] - leaf.cy) / leaf.side);
            u[single_at(k, 2, i)] = static_cast<float>((pz_[at] - leaf.cz) / leaf.side);
          }
        }
      }
    });
  }
  // With single-precision dipoles nothing needs the rule points in double
  // any more (the multipoles take the leaf offsets, which are exact to 1e-7
  // of a leaf; a correction block forms its points from the nodes): 24
  // bytes per point and element are let go.
  if (params_.single_direct)
    for (auto* v : {&px_, &py_, &pz_}) std::vector<double>().swap(*v);
  // Vector lanes form the multipoles of different leaves, each running to
  // the longest leaf of its group: grouped by size, few lanes idle. (Each
  // leaf's multipole is its own sum, so the order changes no bit.)
  leaves_by_size_ = tree_.leaves;
  std::stable_sort(leaves_by_size_.begin(), leaves_by_size_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return tree_.cells[a].end - tree_.cells[a].first < tree_.cells[b].end - tree_.cells[b].first;
  });
  RotationSet up;
  up_rotation_ = parent_rotations(tree_, up);
  up_rotations_ = up.tables(params_.order, threads_);
  z_up_ = z_translation(translation::multipole_to_multipole, params_.order);
}

SourceView FieldOperator::source_view() const {
  SourceView v{};
  v.nodes = reinterpret_cast<const double*>(nodes_.data());
  v.elements = reinterpret_cast<const std::uint32_t*>(elements_.data());
  v.order = tree_.order.data();
  v.cx = cx_.data();
  v.cy = cy_.data();
  v.cz = cz_.data();
  v.inner2 = inner2_.data();
  v.outer2 = outer2_.data();
  v.volume = volume_.data();
  v.px = px_.empty() ? nullptr : px_.data();
  v.py = py_.empty() ? nullptr : py_.data();
  v.pz = pz_.empty() ? nullptr : pz_.data();
  v.rule_weights = rule_.weights.data();
  v.rule_barycentric = rule_.barycentric.front().data();
  v.rule_points = rule_.weights.size();
  v.n_elements = elements_.size();
  v.stride = elements_.size() + padding;
  v.cells = tree_.cells.data();
  v.n_cells = tree_.cells.size();
  v.order_p = params_.order;
  v.single_direct = params_.single_direct;
  v.unit_points = unit_points_.data();
  v.leaves = tree_.leaves.data();
  v.leaf_of = leaf_of_.data();
  return v;
}

TargetView FieldOperator::target_view(const TargetPlan& plan) const {
  TargetView v{};
  v.tx = plan.tx.data();
  v.ty = plan.ty.data();
  v.tz = plan.tz.data();
  v.n_targets = plan.n_targets;
  v.cells = plan.tree.cells.data();
  v.n_cells = plan.tree.cells.size();
  v.leaves = plan.tree.leaves.data();
  v.n_leaves = plan.tree.leaves.size();
  v.direct_offsets = plan.lists.direct_offsets.data();
  v.direct = plan.lists.direct.data();
  v.near_offsets = plan.lists.near_offsets.data();
  v.near = plan.lists.near.data();
  return v;
}

TargetPlan FieldOperator::plan_rows(std::span<const std::uint32_t> rows, bool all_rows) const {
  std::vector<Element> chosen;
  if (!all_rows) {
    chosen.reserve(rows.size());
    for (const std::uint32_t r : rows) chosen.push_back(at(elements_, r));
  }
  std::vector<Vec3> targets(all_rows ? elements_.size() : rows.size());
  centroids(nodes_, all_rows ? std::span<const Element>(elements_) : std::span<const Element>(chosen), targets);
  return plan_for(targets, tree_.cube, true);
}

TargetPlan FieldOperator::plan_points(const Columns& points, bool store) const {
  std::vector<Vec3> targets(points.size());
  for (std::size_t i = 0; i < targets.size(); ++i) targets[i] = {points.x[i], points.y[i], points.z[i]};
  return plan_for(targets, tree_.cube.enclosing(targets), store);
}

TargetPlan FieldOperator::plan_for(std::span<const Vec3> targets, const MortonCube& cube, bool store) const {
  TargetPlan plan;
  plan.n_targets = targets.size();
  if (targets.empty() || elements_.empty()) return plan;
  plan.tree = Octree::build(targets, cube, params_.target_leaf_size);
  const std::size_t n = targets.size();
  plan.tx.resize(n);
  plan.ty.resize(n);
  plan.tz.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const Vec3& x = targets[plan.tree.order[k]];
    plan.tx[k] = x.x;
    plan.ty[k] = x.y;
    plan.tz[k] = x.z;
  }
  plan.radius = cell_reach(plan.tree, threads_, [&](const Vec3& centre, std::uint32_t k) {
    return mag(Vec3{plan.tx[k], plan.ty[k], plan.tz[k]} - centre);
  });
  RotationSet rotations;
  plan.lists = interaction_lists(plan.tree, plan.radius, tree_, source_cells_, params_.theta, rotations, threads_);
  plan.down_rotation = parent_rotations(plan.tree, rotations);
  plan.n_rotations = rotations.size();
  plan.rotations = rotations.tables(params_.order, threads_);
  plan.z_to_local = z_translation(translation::multipole_to_local, params_.order);
  plan.z_down = z_translation(translation::local_to_local, params_.order);
  plan.m2l_pairs = plan.lists.m2l_source.size();
  plan.conversion_order = cells_by_level(plan.tree);
  for (std::size_t l = 0; l < plan.tree.leaves.size(); ++l) {
    const TreeCell& a = plan.tree.cells[plan.tree.leaves[l]];
    for (std::uint32_t q = plan.lists.direct_offsets[l]; q < plan.lists.direct_offsets[l + 1]; q += 2)
      plan.p2p_pairs += std::size_t{a.end - a.first} * (plan.lists.direct[q + 1] - plan.lists.direct[q]);
  }
  if (store && params_.store_near) store_near_blocks(plan);
  count_computed_pairs(plan);
  return plan;
}

void FieldOperator::count_computed_pairs(TargetPlan& plan) const {
  const std::size_t nleaves = plan.tree.leaves.size();
  if (plan.stored && plan.computed.empty()) return;
  const SourceView s = source_view();
  const TargetView t = target_view(plan);
  plan.computed_start.assign(nleaves + 1, 0);
  for_pieces(nleaves, leaves_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint64_t> starts;
    for (std::size_t l = begin; l < end; ++l) {
      if (plan.stored && plan.computed[l] == 0) continue;
      const TreeCell& a = plan.tree.cells[plan.tree.leaves[l]];
      starts.resize(a.end - a.first + 1);
      kernels_->near_pair_starts(s, t, l, l + 1, starts.data());
      plan.computed_start[l + 1] = starts.back();
    }
  });
  for (std::size_t l = 0; l < nleaves; ++l) plan.computed_start[l + 1] += plan.computed_start[l];
  plan.computed_pairs = plan.computed_start.back();
  plan.near_pairs += plan.computed_pairs;
}

std::vector<std::uint8_t> FieldOperator::leaves_over_limit(const TargetPlan& plan) const {
  if (params_.max_bytes_per_element <= 0.0) return {};
  const SourceView s = source_view();
  const TargetView t = target_view(plan);
  const std::size_t nleaves = plan.tree.leaves.size();
  // Each leaf's stored bytes (as encoded: per target and zone a two-byte
  // count, three bytes per near leaf holding pairs and per 255 places
  // skipped, then the records) and its pairs.
  std::vector<std::uint64_t> leaf_bytes(nleaves, 0), leaf_pairs(nleaves, 0);
  for_pieces(nleaves, leaves_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    for (std::size_t l = begin; l < end; ++l) {
      const TreeCell& a = plan.tree.cells[plan.tree.leaves[l]];
      for (std::uint32_t i = a.first; i < a.end; ++i) {
        std::uint32_t q = t.near_offsets[l], previous[2] = {0, 0};
        bool open[2] = {false, false};
        leaf_bytes[l] += 4;
        for_near_pairs(s, t, l, plan.tx[i], plan.ty[i], plan.tz[i], [&](std::uint32_t j, bool inner) {
          while (j >= tree_.cells[t.near[q]].end) ++q;
          const int zone = inner ? 0 : 1;
          const std::uint32_t position = q - t.near_offsets[l];
          if (!open[zone] || position != previous[zone]) {
            const std::uint32_t step = position - previous[zone];
            leaf_bytes[l] += 3 * mask_words(step);
            previous[zone] = position;
            open[zone] = true;
          }
          leaf_bytes[l] += inner ? 2 * inner_words : shell_bytes;
          ++leaf_pairs[l];
        });
      }
    }
  });
  const double fixed = static_cast<double>(memory_bytes() + plan.memory_bytes() +
                                           3 * sizeof(std::uint64_t) * (nleaves + 1) + nleaves + 64);
  // Per element, or per target where a plan has more targets than the mesh
  // has elements; a small mesh may always hold 1 MiB (its fixed tables alone
  // may come to more than the limit per element, and there is nothing to gain).
  const double budget =
      std::max(params_.max_bytes_per_element * static_cast<double>(std::max(elements_.size(), plan.n_targets)),
               double(1 << 20)) -
      fixed;
  double total = 0.0;
  for (const std::uint64_t b : leaf_bytes) total += static_cast<double>(b);
  if (total <= budget) return {};
  // Computing a pair costs about the same in either zone, and an inner
  // block takes 14 bytes against a shell block's 5: the leaves holding the
  // most bytes per pair go first (ties by position, so the choice is fixed).
  std::vector<std::uint32_t> by_density(nleaves);
  std::iota(by_density.begin(), by_density.end(), 0U);
  std::stable_sort(by_density.begin(), by_density.end(), [&](std::uint32_t x, std::uint32_t y) {
    return leaf_bytes[x] * leaf_pairs[y] > leaf_bytes[y] * leaf_pairs[x];
  });
  std::vector<std::uint8_t> computed(nleaves, 0);
  for (const std::uint32_t l : by_density) {
    if (total <= budget) break;
    computed[l] = 1;
    total -= static_cast<double>(leaf_bytes[l]);
  }
  return computed;
}

void FieldOperator::store_near_blocks(TargetPlan& plan) const {
  if (params_.leaf_size > leaf_slots) panic("stored near blocks need leaves of at most 16 elements");
  const SourceView s = source_view();
  const TargetView t = target_view(plan);
  const std::size_t nleaves = plan.tree.leaves.size();
  plan.computed = leaves_over_limit(plan);
  const auto is_computed = [&](std::size_t l) { return !plan.computed.empty() && plan.computed[l] != 0; };
  const std::size_t npieces = (nleaves + leaves_per_piece - 1) / leaves_per_piece;
  struct Piece {
    std::vector<std::uint8_t> masks;
    std::vector<std::int16_t> inner;
    std::vector<std::uint8_t> shell;
    std::vector<std::uint32_t> near;  // the leaves' near lists, keeping the leaves that hold pairs
    std::vector<std::uint64_t> masks_count, inner_count, shell_count, near_count;
  };
  std::vector<Piece> pieces(npieces);
  for_pieces(nleaves, leaves_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    Piece& piece = pieces[begin / leaves_per_piece];
    LeafNearBlocks blocks;
    for (std::size_t l = begin; l < end; ++l) {
      const TreeCell& a = plan.tree.cells[plan.tree.leaves[l]];
      if (is_computed(l)) {
        // Nothing stored; the whole near list stays for the per-application blocks.
        piece.near.insert(piece.near.end(), t.near + t.near_offsets[l], t.near + t.near_offsets[l + 1]);
        for (auto* count : {&piece.masks_count, &piece.inner_count, &piece.shell_count}) count->push_back(0);
        piece.near_count.push_back(t.near_offsets[l + 1] - t.near_offsets[l]);
        continue;
      }
      blocks.starts.resize(a.end - a.first + 1);
      kernels_->near_pair_starts(s, t, l, l + 1, blocks.starts.data());
      leaf_near_blocks(*kernels_, s, t, plan, l, l + 1, blocks.starts.back(), params_.exact_math, true, false,
                       blocks);
      // Per target and zone, (near list position, element mask) in order.
      using Words = std::vector<std::pair<std::uint32_t, std::uint16_t>>;
      std::vector<Words> words(2 * (a.end - a.first));
      std::vector<bool> used(t.near_offsets[l + 1] - t.near_offsets[l], false);
      const std::size_t inner_before = piece.inner.size(), shell_before = piece.shell.size();
      const double* b = blocks.blocks.data();
      for (std::uint32_t i = a.first; i < a.end; ++i) {
        std::uint32_t q = t.near_offsets[l];
        for_near_pairs(s, t, l, plan.tx[i], plan.ty[i], plan.tz[i], [&](std::uint32_t j, bool inner) {
          while (j >= tree_.cells[t.near[q]].end) ++q;
          const std::uint32_t position = q - t.near_offsets[l];
          used[position] = true;
          Words& w = words[2 * (i - a.first) + (inner ? 0 : 1)];
          if (w.empty() || w.back().first != position) w.emplace_back(position, 0);
          w.back().second |= static_cast<std::uint16_t>(1U << (j - tree_.cells[t.near[q]].first));
          if (inner) {
            piece.inner.resize(piece.inner.size() + inner_words);
            quantise_inner(b, piece.inner.data() + piece.inner.size() - inner_words);
          } else {
            piece.shell.resize(piece.shell.size() + shell_bytes);
            quantise_shell(b, piece.shell.data() + piece.shell.size() - shell_bytes);
          }
          b += 6;
        });
      }
      // The near list without the leaves no target uses, and the masks against it.
      std::vector<std::uint32_t> renumbered(used.size());
      const std::size_t near_before = piece.near.size();
      for (std::size_t k = 0; k < used.size(); ++k) {
        renumbered[k] = static_cast<std::uint32_t>(piece.near.size() - near_before);
        if (used[k]) piece.near.push_back(t.near[t.near_offsets[l] + k]);
      }
      const std::size_t masks_before = piece.masks.size();
      for (const Words& w : words) encode_near_masks(w, renumbered, piece.masks);
      piece.masks_count.push_back(piece.masks.size() - masks_before);
      piece.inner_count.push_back((piece.inner.size() - inner_before) / inner_words);
      piece.shell_count.push_back((piece.shell.size() - shell_before) / shell_bytes);
      piece.near_count.push_back(piece.near.size() - near_before);
    }
  });
  plan.mask_start.assign(1, 0);
  plan.inner_start.assign(1, 0);
  plan.shell_start.assign(1, 0);
  std::vector<std::uint32_t> near_offsets(1, 0), near;
  std::size_t nmasks = 0, ninner = 0, nshell = 0;
  for (const Piece& piece : pieces) {
    nmasks += piece.masks.size();
    ninner += piece.inner.size();
    nshell += piece.shell.size();
  }
  plan.masks.reserve(nmasks);
  plan.inner.reserve(ninner);
  plan.shell.reserve(nshell + 64);
  for (Piece& piece : pieces) {
    plan.masks.insert(plan.masks.end(), piece.masks.begin(), piece.masks.end());
    plan.inner.insert(plan.inner.end(), piece.inner.begin(), piece.inner.end());
    plan.shell.insert(plan.shell.end(), piece.shell.begin(), piece.shell.end());
    near.insert(near.end(), piece.near.begin(), piece.near.end());
    for (std::size_t k = 0; k < piece.inner_count.size(); ++k) {
      plan.mask_start.push_back(plan.mask_start.back() + piece.masks_count[k]);
      plan.inner_start.push_back(plan.inner_start.back() + piece.inner_count[k]);
      plan.shell_start.push_back(plan.shell_start.back() + piece.shell_count[k]);
      near_offsets.push_back(near_offsets.back() + static_cast<std::uint32_t>(piece.near_count[k]));
    }
    piece = {};
  }
  // The decoder may read 64 bytes from the last shell record.
  plan.shell.resize(plan.shell.size() + 64, 0);
  near.shrink_to_fit();
  plan.lists.near = std::move(near);
  plan.lists.near_offsets = std::move(near_offsets);
  plan.near_pairs = ninner / inner_words + nshell / shell_bytes;
  plan.stored = true;
}

void FieldOperator::apply(const TargetPlan& plan, std::span<const double> m, Columns& out,
                          ApplyProfile* profile) const {
  double clock = profile ? process_cpu_seconds() : 0.0;
  const auto lap = [&](double ApplyProfile::*phase) {
    if (!profile) return;
    const double now = process_cpu_seconds();
    profile->*phase += now - clock;
    clock = now;
  };
  assert_eq(m.size(), 3 * elements_.size());
  assert_eq(out.size(), plan.n_targets);
  if (plan.n_targets == 0) return;
  if (elements_.empty()) {
    std::fill(out.x.begin(), out.x.end(), 0.0);
    std::fill(out.y.begin(), out.y.end(), 0.0);
    std::fill(out.z.begin(), out.z.end(), 0.0);
    return;
  }
  const OperatorKernels& k = *kernels_;
  const SourceView s = source_view();
  const TargetView t = target_view(plan);
  const int p = params_.order;
  const std::size_t ncoef = harmonics::count(p);

  // The magnetisations in tree order, as three padded columns, and rounded
  // to floats for the stored near blocks (multiplied out in single precision).
  const std::size_t stride = elements_.size() + padding;
  const auto mags = parallel_zeros<double>(3 * stride, threads_);
  Workspace<float> single_mags;
  if (plan.stored) single_mags = parallel_zeros<float>(3 * stride, threads_);
  for_pieces(elements_.size(), elements_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    for (std::size_t j = begin; j < end; ++j) {
      const std::uint32_t e = tree_.order[j];
      for (int c = 0; c < 3; ++c) mags[c * stride + j] = m[3 * std::size_t{e} + c];
      if (plan.stored)
        for (int c = 0; c < 3; ++c) single_mags[c * stride + j] = static_cast<float>(mags[c * stride + j]);
    }
  });

  // The single-precision point dipoles' moments, in their source leaf's units.
  Workspace<float> moments;
  if (params_.single_direct) {
    const std::size_t npts = rule_.weights.size();
    const std::size_t block = single_block(npts);
    moments = parallel_zeros<float>(tree_.leaves.size() * block, threads_);
    for_pieces(tree_.leaves.size(), 64, threads_, [&](std::size_t begin, std::size_t end) {
      for (std::size_t l = begin; l < end; ++l) {
        const TreeCell& leaf = tree_.cells[tree_.leaves[l]];
        const double unit = 1.0 / leaf.side, volume_unit = (unit * unit) * unit;
        float* mo = moments.get() + l * block;
        for (std::uint32_t j = leaf.first; j < leaf.end; ++j)
          for (std::size_t q = 0; q < npts; ++q) {
            const double w = volume_[j] * ((rule_.weights[q] * inv_4pi_sqrt27) * volume_unit);
            for (std::size_t c = 0; c < 3; ++c)
              mo[single_at(q, c, j - leaf.first)] = static_cast<float>(mags[c * stride + j] * w);
          }
      }
    });
  }

  // Multipoles: leaves from their rule points, then every branch from its children, deepest first.
  auto multipoles = parallel_zeros<double>(tree_.cells.size() * 2 * ncoef + expansion_padding, threads_);
  for_pieces(tree_.leaves.size(), 4 * leaves_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    k.leaf_multipoles(s, mags.get(), leaves_by_size_.data() + begin, end - begin, multipoles.get());
  });
  for (std::size_t level = tree_.levels.size(); level-- > 0;) {
    const std::vector<std::uint32_t>& branches = tree_.levels[level];
    for_pieces(branches.size(), 8 * cells_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
      std::vector<TranslationJob> jobs =
          child_jobs(tree_, std::span(branches).subspan(begin, end - begin), up_rotation_, true);
      sort_jobs(jobs);
      k.translate(translation::multipole_to_multipole, p, up_rotations_.data(), z_up_.data(), jobs.data(),
                  jobs.size(), multipoles.get(), multipoles.get());
    });
  }
  lap(&ApplyProfile::multipoles);

  // Locals: every target cell's conversions, then each parent's added into its children, top first.
  // Large pieces: the conversions of a piece are grouped by rotation, so that they fill the lanes;
  // a piece's cells share a level, so their offsets share directions and the groups fill better.
  const auto locals = parallel_zeros<double>(plan.tree.cells.size() * 2 * ncoef + expansion_padding, threads_);
  for_pieces(plan.tree.cells.size(), 8 * cells_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    std::vector<TranslationJob> jobs;
    for (std::size_t at = begin; at < end; ++at) {
      const std::uint32_t a = plan.conversion_order[at];
      const TreeCell& target = plan.tree.cells[a];
      for (std::uint32_t q = plan.lists.m2l_offsets[a]; q < plan.lists.m2l_offsets[a + 1]; ++q) {
        const std::uint32_t b = plan.lists.m2l_source[q];
        const TreeCell& source = tree_.cells[b];
        jobs.push_back(TranslationJob{plan.lists.m2l_rotation[q], a, b,
                                      (target.cx - source.cx) / target.side, (target.cy - source.cy) / target.side,
                                      (target.cz - source.cz) / target.side, source.side / target.side});
      }
    }
    sort_jobs(jobs);
    k.translate(translation::multipole_to_local, p, plan.rotations.data(), plan.z_to_local.data(), jobs.data(),
                jobs.size(), multipoles.get(), locals.get());
  });
  multipoles.reset();
  lap(&ApplyProfile::multipole_to_local);
  for (std::size_t level = 0; level < plan.tree.levels.size(); ++level) {
    const std::vector<std::uint32_t>& branches = plan.tree.levels[level];
    for_pieces(branches.size(), 8 * cells_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
      std::vector<TranslationJob> jobs =
          child_jobs(plan.tree, std::span(branches).subspan(begin, end - begin), plan.down_rotation, false);
      sort_jobs(jobs);
      k.translate(translation::local_to_local, p, plan.rotations.data(), plan.z_down.data(), jobs.data(), jobs.size(),
                  locals.get(), locals.get());
    });
  }
  lap(&ApplyProfile::locals);

  // The leaves: local expansions, direct point dipoles and near blocks.
  // Every target is written by its leaf.
  const std::unique_ptr<double[]> hx(new double[plan.n_targets]), hy(new double[plan.n_targets]),
      hz(new double[plan.n_targets]);
  const auto is_computed = [&](std::size_t l) {
    return !plan.stored || (!plan.computed.empty() && plan.computed[l] != 0);
  };
  for_pieces(plan.tree.leaves.size(), leaves_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    LeafNearBlocks computed;
    for (std::size_t l = begin; l < end;) {
      if (!is_computed(l)) {
        // A run of leaves with stored blocks.
        std::size_t run_end = l + 1;
        while (run_end < end && !is_computed(run_end)) ++run_end;
        NearBlocks near{};
        near.quantised = true;
        near.mags = single_mags.get();
        near.masks = plan.masks.data();
        near.inner = plan.inner.data();
        near.shell = plan.shell.data();
        near.mask_start = plan.mask_start.data() + l;
        near.inner_start = plan.inner_start.data() + l;
        near.shell_start = plan.shell_start.data() + l;
        k.leaf_fields(s, t, locals.get(), mags.get(), moments.get(), near, l, run_end, hx.get(), hy.get(),
                      hz.get());
        l = run_end;
        continue;
      }
      // A group of consecutive leaves computing their blocks: each near
      // element's faces are prepared once for all of them.
      std::size_t group_end = l + 1;
      while (group_end < end && group_end - l < computed_group && is_computed(group_end)) ++group_end;
      leaf_near_blocks(k, s, t, plan, l, group_end, plan.computed_start[group_end] - plan.computed_start[l],
                       params_.exact_math, false, true, computed);
      const std::uint32_t group_first = plan.tree.cells[plan.tree.leaves[l]].first;
      for (; l < group_end; ++l) {
        NearBlocks near{};
        near.blocks = computed.blocks.data();
        near.start = computed.starts.data() + (plan.tree.cells[plan.tree.leaves[l]].first - group_first);
        near.where = computed.where.data();
        k.leaf_fields(s, t, locals.get(), mags.get(), moments.get(), near, l, l + 1, hx.get(), hy.get(),
                      hz.get());
      }
    }
  });
  lap(&ApplyProfile::leaves);
  for_pieces(plan.n_targets, elements_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t id = plan.tree.order[i];
      out.x[id] = hx[i];
      out.y[id] = hy[i];
      out.z[id] = hz[i];
    }
  });
}

void FieldOperator::self_tensors(std::span<const std::uint32_t> rows, std::span<double> out) const {
  assert_eq(out.size(), 9 * rows.size());
  for (const std::uint32_t r : rows) check_index(r, elements_.size());
  const SourceView v = source_view();
  for_pieces(rows.size(), elements_per_piece, threads_, [&](std::size_t begin, std::size_t end) {
    kernels_->self_tensors(v, rows.data() + begin, end - begin, params_.exact_math, out.data() + 9 * begin);
  });
}

std::size_t FieldOperator::memory_bytes() const {
  std::size_t s = bytes(nodes_) + bytes(elements_) + tree_.memory_bytes() + bytes(source_cells_.radius) +
                  bytes(source_cells_.reach_in) + bytes(source_cells_.reach_out) + bytes(up_rotation_) +
                  bytes(up_rotations_) + bytes(z_up_);
  for (const auto* v : {&cx_, &cy_, &cz_, &inner2_, &outer2_, &volume_, &px_, &py_, &pz_}) s += bytes(*v);
  return s + bytes(unit_points_) + bytes(leaf_of_) + bytes(leaves_by_size_);
}

std::size_t FieldOperator::apply_workspace_bytes(const TargetPlan& plan) const {
  const std::size_t ncoef = harmonics::count(params_.order);
  return (3 * (elements_.size() + padding) + 3 * plan.n_targets +
          2 * ncoef * (tree_.cells.size() + plan.tree.cells.size())) *
             sizeof(double) +
         (params_.single_direct ? tree_.leaves.size() * single_block(rule_.weights.size()) * sizeof(float) : 0);
}

}  // namespace zandrel
