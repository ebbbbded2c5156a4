#pragma once
// The direct point dipoles of a target leaf in single precision, for the
// loose accuracy levels of the field operator (whose error, ~1e-4, comes
// from the point-dipole rules, not from the arithmetic).
//
// Once per target leaf the rule points of every element in its direct
// ranges are gathered as offsets from the leaf's centre in units of its side
// L: the operator keeps each point as a single-precision offset within its
// own source leaf, and a source leaf maps into the target leaf's units by an
// offset and a power-of-two ratio, so each gathered offset takes one
// rounding (the offsets span a few sides, so an error of 2^-24 of them is
// ~1e-6 of the smallest target-point distance). Their moments
// w_k (V / L^3) M / (4 pi 3^(3/2)), rounded once per application in the source
// leaf's units, are scaled exactly by the ratio cubed. The dipole field is
// invariant under that change of unit, so the sums give H in A/m at any size
// of mesh (no length is raised to a power in single precision). Each target
// then runs through them
// sixteen element slots at a time:
//
//   H = (3 r (m . r) / |r|^2 - m) / |r|^3,   r = target - point
//
// (PointDipole::add_fused_field, whose form wants the moments over 3^(3/2)),
// summed in single precision over an element's points and a batch of
// elements per slot, then added into sixteen double partial sums that are
// folded in one fixed order.
// Elements whose inner zone holds the target (their closed form acts
// instead) are dropped by slot.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/kernels/point_dipole.hpp"
#include "core/operator/operator_api.hpp"
#include "core/simd/float_lanes.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/vec3_lanes.hpp"

ZANDREL_BEGIN

class SingleDirect {
 public:
  static constexpr std::size_t width = 16;

  // Gathers the direct ranges of target leaf position `leaf`, whose cell is
  // `a`, from the rule points and moments in their source leaves' units and
  // blocks (SourceView::unit_points, leaf_fields' moments). A source leaf of
  // side L_b at centre c_b maps into a's units by the offset
  // (c_b - c_a) / L_a and the ratio L_b / L_a, a power of two: scaling by it
  // is exact, so each offset takes one rounding and each moment (times the
  // ratio cubed) none.
  void gather(const SourceView& s, const TargetView& t, std::size_t leaf, const TreeCell& a, const float* moments) {
    const std::size_t npts = s.rule_points;
    first_.clear();
    end_.clear();
    base_.clear();
    std::size_t count = 0;
    for (std::uint32_t q = t.direct_offsets[leaf]; q < t.direct_offsets[leaf + 1]; q += 2) {
      first_.push_back(t.direct[q]);
      end_.push_back(t.direct[q + 1]);
      base_.push_back(static_cast<std::uint32_t>(count));
      count += t.direct[q + 1] - t.direct[q];
    }
    slots_ = (count + width - 1) / width * width;
    // A row has room for one more vector: each source leaf's run is stored
    // as whole vectors (masked stores are slow on some processors), whose
    // lanes past the run are overwritten by the next run or, past `count`,
    // zeroed at the end (those lanes are dropped, but stay finite).
    row_ = slots_ + width;
    for (auto* v : {&x_, &y_, &z_, &mx_, &my_, &mz_}) v->resize(npts * row_);
    cx_ = a.cx;
    cy_ = a.cy;
    cz_ = a.cz;
    unit_ = 1.0 / a.side;
    // Source leaf by source leaf (a range is a run of whole leaves), each
    // read from its block as one contiguous run.
    const std::size_t block = single_block(npts);
    for (std::size_t r = 0; r < first_.size(); ++r) {
      for (std::uint32_t j0 = first_[r]; j0 < end_[r];) {
        const std::uint32_t leaf_index = s.leaf_of[j0];
        const TreeCell& b = s.cells[s.leaves[leaf_index]];
        const std::uint32_t j1 = std::min(end_[r], b.end);
        const float* units = s.unit_points + leaf_index * block + (j0 - b.first);
        const float* moment = moments + leaf_index * block + (j0 - b.first);
        const std::size_t n = j1 - j0;
        const double ratio = b.side * unit_;
        const simd::F16 scale = simd::F16::set1(ratio), moment_scale = simd::F16::set1((ratio * ratio) * ratio);
        const simd::F16 ox = simd::F16::set1(static_cast<float>((b.cx - cx_) * unit_)),
                        oy = simd::F16::set1(static_cast<float>((b.cy - cy_) * unit_)),
                        oz = simd::F16::set1(static_cast<float>((b.cz - cz_) * unit_));
        for (std::size_t k = 0; k < npts; ++k) {
          const std::size_t to = k * row_ + base_[r] + (j0 - first_[r]);
          const auto put = [&](const float* from, std::vector<float>& into, simd::F16 times, const simd::F16* plus) {
            const simd::F16 v = times * simd::F16::load_first(from, n);
            (plus ? *plus + v : v).store(into.data() + to);
          };
          put(units + single_at(k, 0, 0), x_, scale, &ox);
          put(units + single_at(k, 1, 0), y_, scale, &oy);
          put(units + single_at(k, 2, 0), z_, scale, &oz);
          put(moment + single_at(k, 0, 0), mx_, moment_scale, nullptr);
          put(moment + single_at(k, 1, 0), my_, moment_scale, nullptr);
          put(moment + single_at(k, 2, 0), mz_, moment_scale, nullptr);
        }
        j0 = j1;
      }
    }
    for (auto* v : {&x_, &y_, &z_, &mx_, &my_, &mz_})
      for (std::size_t k = 0; k < npts; ++k)
        std::fill(v->begin() + static_cast<std::ptrdiff_t>(k * row_ + count),
                  v->begin() + static_cast<std::ptrdiff_t>((k + 1) * row_), 0.0f);
    padding_from_ = count;
  }

  // The slot of tree position j, or none when j lies in no direct range.
  static constexpr std::size_t none = ~std::size_t{0};
  std::size_t slot_of(std::uint32_t j) const {
    // The ranges ascend: the last one starting at or before j.
    const auto after = std::upper_bound(first_.begin(), first_.end(), j);
    if (after == first_.begin()) return none;
    const std::size_t r = static_cast<std::size_t>(after - first_.begin()) - 1;
    return j < end_[r] ? base_[r] + (j - first_[r]) : none;
  }

  // Per group of sixteen slots, a lane mask (bit s of group g: slot
  // 16 g + s); all clear for groups() groups, then set with drop().
  using DropMasks = std::vector<std::uint16_t>;
  std::size_t groups() const { return slots_ / width; }
  static void drop(DropMasks& masks, std::size_t slot) {
    masks[slot / width] = static_cast<std::uint16_t>(masks[slot / width] | (1U << (slot % width)));
  }

  // One target of add_fields: its position, the slots it drops (elements
  // whose closed form acts instead) and the sum it adds into.
  struct Target {
    double x, y, z;
    const std::uint16_t* dropped;
    double* h;
  };

  // The field of every gathered point dipole but the dropped ones at each of
  // `count` (<= targets_per_pass) targets, added into their h. Targets
  // processed together share every load of the dipoles (whose arrays
  // outgrow the first-level cache), and each one's sums run in the same
  // order as when alone. (Measured: four as fast as three on AVX-512, and
  // faster than three on AVX2.)
  static constexpr std::size_t targets_per_pass = 4;
  void add_fields(std::size_t npts, const Target* targets, std::size_t count) const {
    if (count == 4)
      add_fields_of<4>(npts, targets);
    else if (count == 3)
      add_fields_of<3>(npts, targets);
    else if (count == 2)
      add_fields_of<2>(npts, targets);
    else
      add_fields_of<1>(npts, targets);
  }

 private:
  template <std::size_t n>
  void add_fields_of(std::size_t npts, const Target* targets) const {
    using simd::F16;
    Vec3Lanes<F16> t[n];
    for (std::size_t i = 0; i < n; ++i)
      t[i] = {F16::set1((targets[i].x - cx_) * unit_), F16::set1((targets[i].y - cy_) * unit_),
              F16::set1((targets[i].z - cz_) * unit_)};
    alignas(64) double acc[n][3][width] = {};
    alignas(64) float part[3][width];
    // Single-precision partial sums run over a batch of groups (a few hundred
    // dipoles per lane at most) before they are added into the double ones.
    constexpr std::size_t groups_per_batch = 8;
    Vec3Lanes<F16> batch_sum[n];
    for (auto& b : batch_sum) b = Vec3Lanes<F16>::zero();
    for (std::size_t g = 0, batch = 0; g < slots_; g += width) {
      Vec3Lanes<F16> f[n];
      for (auto& v : f) v = Vec3Lanes<F16>::zero();
      for (std::size_t k = 0; k < npts; ++k) {
        const std::size_t at = k * row_ + g;
        const F16 px = F16::load(x_.data() + at), py = F16::load(y_.data() + at), pz = F16::load(z_.data() + at);
        const Vec3Lanes<F16> m{F16::load(mx_.data() + at), F16::load(my_.data() + at), F16::load(mz_.data() + at)};
        for (std::size_t i = 0; i < n; ++i)
          PointDipole::add_fused_field(Vec3Lanes<F16>{t[i].x - px, t[i].y - py, t[i].z - pz}, m, f[i]);
      }
      const bool flush = ++batch == groups_per_batch || g + width >= slots_;
      for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t drop = targets[i].dropped[g / width];
        if (g + width > padding_from_) drop |= ~0U << (std::max(padding_from_, g) - g);
        Vec3Lanes<F16>& b = batch_sum[i];
        b.x = b.x + simd::zero_lanes(f[i].x, drop);
        b.y = b.y + simd::zero_lanes(f[i].y, drop);
        b.z = b.z + simd::zero_lanes(f[i].z, drop);
        if (flush) {
          b.x.store(part[0]);
          b.y.store(part[1]);
          b.z.store(part[2]);
          for (int c = 0; c < 3; ++c)
            for (std::size_t l = 0; l < width; ++l) acc[i][c][l] += static_cast<double>(part[c][l]);
          b = Vec3Lanes<F16>::zero();
        }
      }
      if (flush) batch = 0;
    }
    for (std::size_t i = 0; i < n; ++i)
      for (int c = 0; c < 3; ++c) targets[i].h[c] += fold(acc[i][c]);
  }

  // Pairwise, in one fixed order.
  static double fold(const double* a) {
    double b[8];
    for (int l = 0; l < 8; ++l) b[l] = a[l] + a[l + 8];
    return ((b[0] + b[4]) + (b[2] + b[6])) + ((b[1] + b[5]) + (b[3] + b[7]));
  }

  std::vector<std::uint32_t> first_, end_, base_;
  std::size_t slots_ = 0, row_ = 0, padding_from_ = 0;
  double cx_ = 0.0, cy_ = 0.0, cz_ = 0.0, unit_ = 1.0;
  std::vector<float> x_, y_, z_, mx_, my_, mz_;  // point k of slot s at [k * row_ + s]
};

ZANDREL_END
