// Kernels of the field operator, compiled once per instruction set: the
// multipoles of the source leaves, the multipole-to-local conversions, the
// field at the targets of a leaf (local expansion, direct point dipoles, near
// blocks) and the near blocks themselves (closed form). Vector lanes always
// hold independent work (leaves, cell pairs or targets), and every sum into a
// target runs in a fixed order, so that no result depends on the lane count.
#if defined(ZANDREL_ISA_AVX512)
// GCC 12 reports the deliberately undefined pass-through operand inside its
// own _mm512_sqrt_pd as uninitialised once it is inlined here.
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/kernels/magnetised_tet4.hpp"
#include "core/kernels/point_dipole.hpp"
#include "core/kernels/tet4_element.hpp"
#include "core/kernels/tet4_faces.hpp"
#include "core/operator/harmonics.hpp"
#include "core/operator/near_pairs.hpp"
#include "core/operator/operator_api.hpp"
#include "core/operator/pair_rows.hpp"
#include "core/operator/quantised_pairs.hpp"
#include "core/operator/single_direct.hpp"
#include "core/operator/tet_quadrature.hpp"
#include "core/operator/translation_tables.hpp"
#include "core/operator/translations.hpp"
#include "core/simd/math_policy.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN
namespace {

using W = simd::V;
constexpr std::size_t lanes = W::lanes;
constexpr std::size_t max_coef = harmonics::count(harmonics::max_order);
using Coefficients = std::array<W, max_coef>;

std::array<Vec3, 4> element_nodes_of(const SourceView& v, std::uint32_t e) {
  return element_nodes(Tet4Mesh{v.nodes, v.elements, nullptr, v.n_elements}, e);
}

std::vector<double> norms(int p) {
  std::vector<double> s(harmonics::count(p));
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) s[harmonics::index(n, m)] = harmonic_norm(n, m);
  return s;
}

// Lanes of doubles gathered from scalars.
struct Gather {
  alignas(64) double v[lanes];
  W load() const { return W::load(v); }
};

void leaf_multipoles(const SourceView& s, const double* mags, const std::uint32_t* leaves, std::size_t count,
                     double* multipoles) {
  const int p = s.order_p;
  const std::size_t ncoef = harmonics::count(p), npts = s.rule_points;
  const harmonics::Recurrences rec(p - 1);
  const std::vector<double> norm = norms(p);
  Coefficients acc_re, acc_im, u_re, u_im;
  // Lanes hold different leaves, each summing its own points in order; a
  // lane past its last point adds a zero dipole (which changes nothing).
  for (std::size_t g = 0; g < count; g += lanes) {
    const std::size_t nl = std::min(lanes, count - g);
    std::size_t longest = 0;
    for (std::size_t l = 0; l < nl; ++l) {
      const TreeCell& c = s.cells[leaves[g + l]];
      longest = std::max<std::size_t>(longest, (c.end - c.first) * npts);
    }
    for (std::size_t k = 0; k < ncoef; ++k) acc_re[k] = acc_im[k] = W::set1(0.0);
    for (std::size_t t = 0; t < longest; ++t) {
      Gather ox{}, oy{}, oz{}, dx{}, dy{}, dz{};
      for (std::size_t l = 0; l < nl; ++l) {
        const TreeCell& c = s.cells[leaves[g + l]];
        if (t >= (c.end - c.first) * npts) continue;
        const std::size_t j = c.first + t / npts, k = t % npts, at = k * s.stride + j;
        if (s.px != nullptr) {
          ox.v[l] = (s.px[at] - c.cx) / c.side;
          oy.v[l] = (s.py[at] - c.cy) / c.side;
          oz.v[l] = (s.pz[at] - c.cz) / c.side;
        } else {
          // The single-precision offsets in the leaf's units.
          const float* u = s.unit_points + std::size_t{s.leaf_of[c.first]} * single_block(npts);
          ox.v[l] = u[single_at(k, 0, j - c.first)];
          oy.v[l] = u[single_at(k, 1, j - c.first)];
          oz.v[l] = u[single_at(k, 2, j - c.first)];
        }
        const double w = s.rule_weights[k] * s.volume[j];
        dx.v[l] = mags[j] * w;
        dy.v[l] = mags[s.stride + j] * w;
        dz.v[l] = mags[2 * s.stride + j] * w;
      }
      harmonics::regular(rec, ox.load(), oy.load(), oz.load(), u_re.data(), u_im.data());
      harmonics::add_dipole_moments(p, u_re.data(), u_im.data(), dx.load(), dy.load(), dz.load(), acc_re.data(),
                                    acc_im.data());
    }
    // In units of the side a: the raw moments of degree n scale as a^-(n+1),
    // and the gradient taken in those units brings a^(n-1); normalised: times s_nm.
    for (std::size_t k = 0; k < ncoef; ++k) {
      alignas(64) double re[lanes], im[lanes];
      acc_re[k].store(re);
      acc_im[k].store(im);
      for (std::size_t l = 0; l < nl; ++l) {
        const TreeCell& c = s.cells[leaves[g + l]];
        const double f = norm[k] / (c.side * c.side);
        double* out = multipoles + std::size_t{leaves[g + l]} * 2 * ncoef;
        out[k] = re[l] * f;
        out[ncoef + k] = im[l] * f;
      }
    }
  }
}

// Moving expansions between the cells (one per job) and the vector lanes
// (one job per lane): each input coefficient times its degree's factor
// (f[n]) into lane l, and each output coefficient times its factor added
// into its cell, lane by lane in lane order (jobs sharing an output cell add
// in their order). Both multiply and then add, rounding each, whatever the
// instruction set.
#if defined(ZANDREL_ISA_AVX512)
// Rows r[0..7] become columns, in 24 shuffles.
ZANDREL_FORCE_INLINE void transpose8(__m512d r[8]) {
  __m512d t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm512_unpacklo_pd(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_pd(r[2 * i], r[2 * i + 1]);
  }
  for (int h = 0; h < 2; ++h) {
    const int o = 4 * h;
    u[o] = _mm512_shuffle_f64x2(t[o], t[o + 2], 0x88);
    u[o + 1] = _mm512_shuffle_f64x2(t[o], t[o + 2], 0xDD);
    u[o + 2] = _mm512_shuffle_f64x2(t[o + 1], t[o + 3], 0x88);
    u[o + 3] = _mm512_shuffle_f64x2(t[o + 1], t[o + 3], 0xDD);
  }
  r[0] = _mm512_shuffle_f64x2(u[0], u[4], 0x88);
  r[4] = _mm512_shuffle_f64x2(u[0], u[4], 0xDD);
  r[2] = _mm512_shuffle_f64x2(u[1], u[5], 0x88);
  r[6] = _mm512_shuffle_f64x2(u[1], u[5], 0xDD);
  r[1] = _mm512_shuffle_f64x2(u[2], u[6], 0x88);
  r[5] = _mm512_shuffle_f64x2(u[2], u[6], 0xDD);
  r[3] = _mm512_shuffle_f64x2(u[3], u[7], 0x88);
  r[7] = _mm512_shuffle_f64x2(u[3], u[7], 0xDD);
}

using Row = __m512d;
ZANDREL_FORCE_INLINE Row load_row(const double* p) { return _mm512_loadu_pd(p); }
ZANDREL_FORCE_INLINE void store_row(double* p, Row r) { _mm512_storeu_pd(p, r); }
ZANDREL_FORCE_INLINE Row add_rows(Row a, Row b) { return _mm512_add_pd(a, b); }
ZANDREL_FORCE_INLINE void transpose(Row r[lanes]) { transpose8(r); }
#elif defined(ZANDREL_ISA_AVX2)
// Rows r[0..3] become columns, in eight shuffles.
ZANDREL_FORCE_INLINE void transpose4(__m256d r[4]) {
  const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]),
                t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
  r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
  r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
  r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
  r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

using Row = __m256d;
ZANDREL_FORCE_INLINE Row load_row(const double* p) { return _mm256_loadu_pd(p); }
ZANDREL_FORCE_INLINE void store_row(double* p, Row r) { _mm256_storeu_pd(p, r); }
ZANDREL_FORCE_INLINE Row add_rows(Row a, Row b) { return _mm256_add_pd(a, b); }
ZANDREL_FORCE_INLINE void transpose(Row r[lanes]) { transpose4(r); }
#endif

#if defined(ZANDREL_ISA_AVX512) || defined(ZANDREL_ISA_AVX2)
// A block of `lanes` coefficients of `lanes` cells per transposition; the
// cells' arrays are padded, so the last block may read (not write) past a cell.
void gather_lanes(std::size_t ncoef, const unsigned char* degree, const double* const src[lanes], const W* f,
                  W* re, W* im) {
  for (int part = 0; part < 2; ++part) {
    W* to = part == 0 ? re : im;
    for (std::size_t k0 = 0; k0 < ncoef; k0 += lanes) {
      Row r[lanes];
      for (std::size_t l = 0; l < lanes; ++l) r[l] = load_row(src[l] + part * ncoef + k0);
      transpose(r);
      for (std::size_t i = 0; i < lanes && k0 + i < ncoef; ++i) to[k0 + i] = W{r[i]} * f[degree[k0 + i]];
    }
  }
}

// Whole blocks transposed, the last few coefficients lane by lane (no
// masked stores: they are slow on some processors).
void scatter_lanes(std::size_t ncoef, const unsigned char* degree, const W* re, const W* im, const W* f,
                   double* const dst[lanes], std::size_t nl) {
  for (int part = 0; part < 2; ++part) {
    const W* from = part == 0 ? re : im;
    std::size_t k0 = 1;
    for (; k0 + lanes <= ncoef; k0 += lanes) {
      Row r[lanes];
      for (std::size_t i = 0; i < lanes; ++i) r[i] = (from[k0 + i] * f[degree[k0 + i]]).v;
      transpose(r);
      // Consecutive jobs into one cell (common: the offsets of one polar
      // angle) add in a register, in the same order, before one store.
      Row sum{};
      for (std::size_t l = 0; l < nl; ++l) {
        double* d = dst[l] + part * ncoef + k0;
        if (l == 0 || dst[l] != dst[l - 1]) sum = load_row(d);
        sum = add_rows(sum, r[l]);
        if (l + 1 == nl || dst[l + 1] != dst[l]) store_row(d, sum);
      }
    }
    alignas(64) double g[lanes];
    for (std::size_t k = k0; k < ncoef; ++k) {
      (from[k] * f[degree[k]]).store(g);
      for (std::size_t l = 0; l < nl; ++l) dst[l][part * ncoef + k] += g[l];
    }
  }
}
#else
void gather_lanes(std::size_t ncoef, const unsigned char* degree, const double* const src[lanes], const W* f,
                  W* re, W* im) {
  alignas(64) double fl[harmonics::max_order + 2][lanes], g[lanes];
  for (int n = 0; n <= harmonics::max_order + 1; ++n) f[n].store(fl[n]);
  for (int part = 0; part < 2; ++part)
    for (std::size_t k = 0; k < ncoef; ++k) {
      for (std::size_t l = 0; l < lanes; ++l) g[l] = src[l][part * ncoef + k] * fl[degree[k]][l];
      (part == 0 ? re : im)[k] = W::load(g);
    }
}

void scatter_lanes(std::size_t ncoef, const unsigned char* degree, const W* re, const W* im, const W* f,
                   double* const dst[lanes], std::size_t nl) {
  alignas(64) double g[lanes];
  for (int part = 0; part < 2; ++part)
    for (std::size_t k = 1; k < ncoef; ++k) {
      ((part == 0 ? re : im)[k] * f[degree[k]]).store(g);
      for (std::size_t l = 0; l < nl; ++l) dst[l][part * ncoef + k] += g[l];
    }
}
#endif

void translate(int kind, int p, const double* rotations, const double* z, const TranslationJob* jobs,
               std::size_t count, const double* in, double* out) {
  const std::size_t ncoef = harmonics::count(p), rsize = translation::rotation_size(p);
  const bool local_out = kind == translation::local_to_local;
  unsigned char degree[max_coef];
  for (int n = 0; n <= p; ++n)
    for (int m = 0; m <= n; ++m) degree[harmonics::index(n, m)] = static_cast<unsigned char>(n);
  Coefficients re, im, out_re, out_im;
  W f_in[harmonics::max_order + 2], f_out[harmonics::max_order + 2];
  // Lanes hold consecutive jobs of one rotation; spare lanes repeat the last.
  for (std::size_t j0 = 0; j0 < count;) {
    const std::uint32_t rot = jobs[j0].rotation;
    std::size_t nl = 0;
    while (nl < lanes && j0 + nl < count && jobs[j0 + nl].rotation == rot) ++nl;
    // The inputs and outputs of the next jobs are scattered over the tree:
    // fetch them while this group computes.
    for (std::size_t l = j0 + nl; l < std::min(count, j0 + nl + lanes); ++l) {
      const char* next_in = reinterpret_cast<const char*>(in + std::size_t{jobs[l].src} * 2 * ncoef);
      const char* next_out = reinterpret_cast<const char*>(out + std::size_t{jobs[l].dst} * 2 * ncoef);
      for (std::size_t b = 0; b < 2 * ncoef * sizeof(double); b += 64) {
        __builtin_prefetch(next_in + b);
        __builtin_prefetch(next_out + b, 1);
      }
    }
    Gather ox{}, oy{}, oz{}, ratio{};
    const double* src[lanes];
    double* dst[lanes];
    for (std::size_t l = 0; l < lanes; ++l) {
      const TranslationJob& job = jobs[j0 + std::min(l, nl - 1)];
      ox.v[l] = job.dx;
      oy.v[l] = job.dy;
      oz.v[l] = job.dz;
      ratio.v[l] = job.ratio;
      src[l] = in + std::size_t{job.src} * 2 * ncoef;
      dst[l] = out + std::size_t{job.dst} * 2 * ncoef;
    }
    // The offset's azimuth (any, on the z axis) and length.
    const W dx = ox.load(), dy = oy.load(), dz = oz.load(), xy2 = dx * dx + dy * dy, rxy = simd::sqrt(xy2);
    const auto on_axis = !(rxy > W::set1(0.0));
    const W cphi = simd::select(on_axis, W::set1(1.0), dx / rxy), sphi = simd::select(on_axis, W::set1(0.0), dy / rxy);
    const W rho = simd::sqrt(xy2 + dz * dz);
    // A multipole's degree n enters times ratio^(n+1), a local's leaves times ratio^n.
    const W one = W::set1(1.0), r = ratio.load();
    f_in[0] = local_out ? one : r;
    f_out[0] = one;
    for (int n = 1; n <= p; ++n) {
      f_in[n] = local_out ? one : f_in[n - 1] * r;
      f_out[n] = local_out ? f_out[n - 1] * r : one;
    }
    gather_lanes(ncoef, degree, src, f_in, re.data(), im.data());
    translation::translate(translation::Kind(kind), p, rotations + rot * rsize, z, cphi, sphi, rho, re.data(),
                           im.data(), out_re.data(), out_im.data());
    scatter_lanes(ncoef, degree, out_re.data(), out_im.data(), f_out, dst, nl);
    j0 += nl;
  }
}

// Targets of one leaf in vectors: the last vector repeats the leaf's last target.
struct TargetLanes {
  Vec3Lanes<W> r;
  std::size_t count;  // real targets in this vector
};

// Targets index(0) .. index(count - 1) (count from 1 to lanes) in one vector;
// spare lanes repeat the last.
template <class Index>
TargetLanes lanes_of(const TargetView& t, std::size_t count, Index index) {
  Gather x{}, y{}, z{};
  for (std::size_t l = 0; l < lanes; ++l) {
    const std::uint32_t i = index(std::min(l, count - 1));
    x.v[l] = t.tx[i];
    y.v[l] = t.ty[i];
    z.v[l] = t.tz[i];
  }
  return {{x.load(), y.load(), z.load()}, count};
}

TargetLanes target_lanes(const TargetView& t, std::uint32_t end, std::uint32_t at) {
  return lanes_of(t, std::min<std::size_t>(lanes, end - at),
                  [at](std::size_t l) { return at + static_cast<std::uint32_t>(l); });
}

// Point dipoles of lanes of moments m at offsets r (target minus dipole), added into h.
ZANDREL_FORCE_INLINE void add_dipole(const Vec3Lanes<W>& r, const Vec3Lanes<W>& m, Vec3Lanes<W>& h) {
  h = h + PointDipole::plain_field(r, mag(r), m);
}

// Eight partial sums per component whatever the vector width (one vector of
// eight, or two of four), folded in one fixed order, so that a target's sum
// over source lanes is the same on every instruction set.
constexpr std::size_t parts = 8 / lanes;
static_assert(parts * lanes == 8, "vectors of 8 or 4 lanes");

struct Partial8 {
  W x[parts], y[parts], z[parts];
  Partial8() {
    for (std::size_t h = 0; h < parts; ++h) x[h] = y[h] = z[h] = W::set1(0.0);
  }
};

double fold8(const W* v) {
  alignas(64) double a[8];
  for (std::size_t h = 0; h < parts; ++h) v[h].store(a + h * lanes);
  return ((a[0] + a[4]) + (a[2] + a[6])) + ((a[1] + a[5]) + (a[3] + a[7]));
}

// The direct point dipoles of elements first..end-1 at one target, eight
// elements at a time; pairs in an element's inner zone are left to the closed form.
void add_direct(const SourceView& s, const double* mags, std::uint32_t first, std::uint32_t end, double x, double y,
                double z, Partial8& acc) {
  static constexpr double lane_index[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  const W tx = W::set1(x), ty = W::set1(y), tz = W::set1(z), zero = W::set1(0.0);
  const std::size_t npts = s.rule_points, stride = s.stride;
  for (std::uint32_t j0 = first; j0 < end; j0 += 8) {
    const W left = W::set1(static_cast<double>(end - j0));
    for (std::size_t h = 0; h < parts; ++h) {
      const std::size_t j = j0 + h * lanes;
      // Near pairs (both zones) take their computed closed form instead.
      const auto skip = (W::load(lane_index + h * lanes) >= left) |
                        (squared_distance(tx, ty, tz, W::load(s.cx + j), W::load(s.cy + j), W::load(s.cz + j)) <
                         W::load(s.outer2 + j));
      const W v = W::load(s.volume + j);
      const Vec3Lanes<W> m{W::load(mags + j) * v, W::load(mags + stride + j) * v, W::load(mags + 2 * stride + j) * v};
      Vec3Lanes<W> f = Vec3Lanes<W>::zero();
      for (std::size_t k = 0; k < npts; ++k) {
        const std::size_t at = k * stride + j;
        add_dipole({tx - W::load(s.px + at), ty - W::load(s.py + at), tz - W::load(s.pz + at)},
                   m * W::set1(s.rule_weights[k]), f);
      }
      acc.x[h] = acc.x[h] + simd::select(skip, zero, f.x);
      acc.y[h] = acc.y[h] + simd::select(skip, zero, f.y);
      acc.z[h] = acc.z[h] + simd::select(skip, zero, f.z);
    }
  }
}

// The near pairs of one target, computed per application (the tight
// levels), before they are multiplied out: each pair's block (xx yy zz xy
// xz yz) and M_j in one lane of eight-pair groups. The products are added
// into eight partial sums (pair k of a target into partial k mod 8), folded
// at the end, so the order of every sum is fixed by the pairs' order alone,
// whatever the vector width. The last group is completed with zero blocks
// and moments.
class NearPairs {
 public:
  void clear() { rows_.clear(); }
  // Room for `more` pairs after the current ones; returns the first new one.
  std::size_t grow(std::size_t more) { return rows_.grow(more); }

  void put_mags(std::size_t i, const double* mags, std::size_t stride, std::uint32_t j) {
    row(6)[i] = mags[j];
    row(7)[i] = mags[stride + j];
    row(8)[i] = mags[2 * stride + j];
  }
  void put_block(std::size_t i, const double* block) {
    for (std::size_t c = 0; c < 6; ++c) row(c)[i] = block[c];
  }

  // Adds the products into h.
  void finish(double h[3]) {
    const std::size_t padded = rows_.pad();
    Partial8 acc;
    for (std::size_t o = 0; o < padded; o += 8)
      for (std::size_t h8 = 0; h8 < parts; ++h8) {
        const std::size_t at = o + h8 * lanes;
        const W xx = W::load(row(0) + at), yy = W::load(row(1) + at), zz = W::load(row(2) + at),
                xy = W::load(row(3) + at), xz = W::load(row(4) + at), yz = W::load(row(5) + at);
        const W mx = W::load(row(6) + at), my = W::load(row(7) + at), mz = W::load(row(8) + at);
        acc.x[h8] = acc.x[h8] + ((xx * mx + xy * my) + xz * mz);
        acc.y[h8] = acc.y[h8] + ((xy * mx + yy * my) + yz * mz);
        acc.z[h8] = acc.z[h8] + ((xz * mx + yz * my) + zz * mz);
      }
    h[0] += fold8(acc.x);
    h[1] += fold8(acc.y);
    h[2] += fold8(acc.z);
  }

 private:
  double* row(std::size_t c) { return rows_.row(c); }
  PairRows<double, 8, 0> rows_;
};

void leaf_fields(const SourceView& s, const TargetView& t, const double* locals, const double* mags,
                 const float* moments, const NearBlocks& near, std::size_t begin, std::size_t end, double* hx,
                 double* hy, double* hz) {
  const int p = s.order_p;
  const std::size_t ncoef = harmonics::count(p), stride = s.stride;
  const harmonics::Recurrences rec(p - 1);
  const std::vector<double> norm = norms(p);
  std::vector<harmonics::Complex> local(ncoef);
  std::vector<double> coef(6 * harmonics::count(p - 1));
  Coefficients u_re, u_im;
  SingleDirect single;
  SingleDirect::DropMasks dropped[SingleDirect::targets_per_pass];
  NearPairs pairs;
  QuantisedPairs quantised;
  std::vector<std::uint32_t> near_first;
  std::vector<std::size_t> near_slot;
  for (std::size_t l = begin; l < end; ++l) {
    const std::uint32_t cell = t.leaves[l];
    const TreeCell& a = t.cells[cell];
    // The local expansion, targets in lanes.
    const double* lc = locals + std::size_t{cell} * 2 * ncoef;
    for (std::size_t k = 0; k < ncoef; ++k) local[k] = {lc[k] * norm[k], lc[ncoef + k] * norm[k]};
    harmonics::local_field_coefficients(p, local.data(), 1.0 / a.side, coef.data());
    for (std::uint32_t at = a.first; at < a.end; at += lanes) {
      const TargetLanes tl = target_lanes(t, a.end, at);
      const W inv = W::set1(1.0 / a.side);
      harmonics::regular(rec, (tl.r.x - W::set1(a.cx)) * inv, (tl.r.y - W::set1(a.cy)) * inv,
                         (tl.r.z - W::set1(a.cz)) * inv, u_re.data(), u_im.data());
      W fx = W::set1(0.0), fy = W::set1(0.0), fz = W::set1(0.0);
      harmonics::add_local_field(p, coef.data(), u_re.data(), u_im.data(), fx, fy, fz);
      alignas(64) double bx[lanes], by[lanes], bz[lanes];
      fx.store(bx);
      fy.store(by);
      fz.store(bz);
      for (std::size_t k = 0; k < tl.count; ++k) {
        hx[at + k] = bx[k];
        hy[at + k] = by[k];
        hz[at + k] = bz[k];
      }
    }
    // Direct point dipoles and near blocks, target by target.
    std::uint64_t mask = near.quantised ? near.mask_start[l - begin] : 0;
    std::uint64_t inner = near.quantised ? near.inner_start[l - begin] : 0;
    std::uint64_t shell = near.quantised ? near.shell_start[l - begin] : 0;
    // Computed blocks: one leaf per call, its targets' pairs from start[i - a.first].
    std::uint64_t pair = near.quantised ? 0 : near.start[0];
    std::size_t pair_target = 0;
    // The first element of each near source leaf, looked up once per target leaf.
    near_first.clear();
    for (std::uint32_t q = t.near_offsets[l]; q < t.near_offsets[l + 1]; ++q)
      near_first.push_back(s.cells[t.near[q]].first);
    // The near blocks of the next target added into h in enumeration order;
    // closed_pair(j, its leaf's place in the near list) is told of each pair
    // whose block is the whole closed form (its point dipoles must not act
    // too): the inner zone of stored blocks, both zones of computed ones.
    const auto add_near = [&](double h[3], auto&& closed_pair) {
      if (near.quantised) {
        quantised.clear();
        for (int zone = 0; zone < 2; ++zone) {
          const std::uint8_t* m = near.masks + mask;
          const std::uint32_t words = m[0] | (std::uint32_t{m[1]} << 8);
          mask += 2 + 3 * std::uint64_t{words};
          const std::size_t zone_first = quantised.size();
          std::uint32_t position = 0;
          for (std::uint32_t w = 0; w < words; ++w) {
            const std::uint8_t* word = m + 2 + 3 * w;
            position += word[0];
            const std::uint32_t first = near_first[position];
            const std::uint32_t bits = word[1] | (std::uint32_t{word[2]} << 8);
            quantised.put_leaf_mags(quantised.grow(static_cast<std::size_t>(__builtin_popcount(bits))), near.mags,
                                    stride, first, bits);
            if (zone == 0)
              for (std::uint32_t b = bits; b != 0; b &= b - 1)
                closed_pair(first + static_cast<std::uint32_t>(__builtin_ctz(b)), position);
          }
          const std::size_t count = quantised.size() - zone_first;
          if (zone == 0) {
            quantised.put_inners(zone_first, count, near.inner + inner_words * inner);
            inner += count;
          } else {
            quantised.put_shells(zone_first, count, near.shell + shell_bytes * shell);
            shell += count;
          }
        }
        quantised.finish(h);
        return;
      }
      // Computed blocks: the closed form where the pair's point dipoles are
      // skipped (and they are, where the source leaf is taken directly).
      pairs.clear();
      const std::uint64_t pair_end = near.start[pair_target + 1];
      for (; pair < pair_end; ++pair) {
        const std::uint32_t j = near.where[2 * pair];
        const std::size_t i = pairs.grow(1);
        pairs.put_mags(i, mags, stride, j);
        pairs.put_block(i, near.blocks + 6 * pair);
        closed_pair(j, near.where[2 * pair + 1]);
      }
      ++pair_target;
      pairs.finish(h);
    };
    if (s.single_direct) {
      single.gather(s, t, l, a, moments);
      // The slot of each near leaf's first element, once per target leaf (a
      // direct range holds whole leaves, so its other elements follow it).
      near_slot.clear();
      for (const std::uint32_t first : near_first) near_slot.push_back(single.slot_of(first));
      // Targets a few at a time, sharing the dipoles' loads.
      constexpr std::size_t per_pass = SingleDirect::targets_per_pass;
      for (std::uint32_t i0 = a.first; i0 < a.end; i0 += per_pass) {
        const std::size_t count = std::min<std::size_t>(per_pass, a.end - i0);
        double h[per_pass][3];
        SingleDirect::Target group[per_pass];
        for (std::size_t k = 0; k < count; ++k) {
          const std::uint32_t i = i0 + static_cast<std::uint32_t>(k);
          h[k][0] = hx[i], h[k][1] = hy[i], h[k][2] = hz[i];
          SingleDirect::DropMasks& drop = dropped[k];
          drop.assign(single.groups(), 0);
          add_near(h[k], [&](std::uint32_t j, std::size_t position) {
            if (near_slot[position] != SingleDirect::none)
              SingleDirect::drop(drop, near_slot[position] + (j - near_first[position]));
          });
          group[k] = {t.tx[i], t.ty[i], t.tz[i], drop.data(), h[k]};
        }
        single.add_fields(s.rule_points, group, count);
        for (std::size_t k = 0; k < count; ++k) {
          hx[i0 + k] = h[k][0];
          hy[i0 + k] = h[k][1];
          hz[i0 + k] = h[k][2];
        }
      }
      continue;
    }
    for (std::uint32_t i = a.first; i < a.end; ++i) {
      const double x = t.tx[i], y = t.ty[i], z = t.tz[i];
      Partial8 acc;
      for (std::uint32_t q = t.direct_offsets[l]; q < t.direct_offsets[l + 1]; q += 2)
        add_direct(s, mags, t.direct[q], t.direct[q + 1], x, y, z, acc);
      double h[3] = {hx[i] + fold8(acc.x), hy[i] + fold8(acc.y), hz[i] + fold8(acc.z)};
      add_near(h, [](std::uint32_t, std::size_t) {});
      hx[i] = h[0];
      hy[i] = h[1];
      hz[i] = h[2];
    }
  }
}

// The field per unit magnetisation of a prepared element at lanes of
// targets: column c is the face kernel's H for M = e_c, the face gradients
// g_f weighted by face_charge_weight(n_f, e_c) (N = -(1/4 pi) sum_f g_f n_f^T).
template <class Math>
std::array<W, 9> closed_form_block(const Tet4Faces& g, const Vec3Lanes<W>& r) {
  static constexpr Vec3 unit[3] = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
  std::array<W, 9> n;
  n.fill(W::set1(0.0));
  for_each_face<Math>(g, r, [&](std::size_t, const Face& face, W omega, const std::array<W, 3>& l) {
    const Vec3Lanes<W> grad = charge_potential_gradient_lanes(face, omega, l);
    const W gr[3] = {grad.x, grad.y, grad.z};
    for (int c = 0; c < 3; ++c) {
      const W q = W::set1(face_charge_weight(face.n_hat, unit[c]));
      for (int row = 0; row < 3; ++row) n[3 * row + c] = n[3 * row + c] + gr[row] * q;
    }
  });
  return n;
}

// The rule's point dipoles per unit magnetisation (xx yy zz xy xz yz), from
// the field of each point for M = e_x, e_y, e_z.
std::array<W, 6> rule_block(const SourceView& s, std::uint32_t j, const Vec3Lanes<W>& r) {
  const W zero = W::set1(0.0);
  Vec3Lanes<W> col[3] = {Vec3Lanes<W>::zero(), Vec3Lanes<W>::zero(), Vec3Lanes<W>::zero()};  // H for M = e_c
  const std::array<Vec3, 4> n = element_nodes_of(s, s.order[j]);
  for (std::size_t k = 0; k < s.rule_points; ++k) {
    const Vec3 x = rule_point(n, s.rule_barycentric + 4 * k);
    const Vec3Lanes<W> d{r.x - W::set1(x.x), r.y - W::set1(x.y), r.z - W::set1(x.z)};
    const W w = W::set1(s.rule_weights[k] * s.volume[j]);
    add_dipole(d, {w, zero, zero}, col[0]);
    add_dipole(d, {zero, w, zero}, col[1]);
    add_dipole(d, {zero, zero, w}, col[2]);
  }
  const W half = W::set1(0.5);
  return {col[0].x, col[1].y, col[2].z, (col[1].x + col[0].y) * half, (col[2].x + col[0].z) * half,
          (col[2].y + col[1].z) * half};
}

// A picked target of a group of target leaves: its tree position, the place
// of the element's leaf in the target's own leaf's near list, and whether
// that leaf is taken directly (whole leaves are) for the target's leaf.
struct Picked {
  std::uint32_t target, place;
  bool direct;
};

// Visits every near source element of target leaves first..end-1 (targets
// consecutive in tree order), the union of their near lists in ascending
// order (each list ascends), with the targets in its outer zone among the
// leaves that list its leaf: visit(tree position j, picked). Each element's
// faces are thus prepared once for the whole group, and its targets from
// several leaves fill the lanes together. The distances are compared in
// lanes, formed as for_near_pairs forms them, so the pairs are the same,
// and every target meets its pairs in its own enumeration order.
template <class Visit>
void for_near_elements(const SourceView& s, const TargetView& t, std::size_t first, std::size_t end, Visit&& visit) {
  struct Member {
    std::size_t leaf;
    std::uint32_t place;
    bool direct;
  };
  std::vector<std::vector<TargetLanes>> targets(end - first);
  std::vector<std::uint32_t> cursor(end - first);
  for (std::size_t k = 0; k < end - first; ++k) {
    const TreeCell& a = t.cells[t.leaves[first + k]];
    for (std::uint32_t at = a.first; at < a.end; at += lanes) targets[k].push_back(target_lanes(t, a.end, at));
    cursor[k] = t.near_offsets[first + k];
  }
  std::vector<Member> members;
  std::vector<Picked> picked;
  for (;;) {
    std::uint32_t next = ~std::uint32_t{0};
    for (std::size_t k = 0; k < end - first; ++k)
      if (cursor[k] < t.near_offsets[first + k + 1]) next = std::min(next, t.near[cursor[k]]);
    if (next == ~std::uint32_t{0}) break;
    const TreeCell& b = s.cells[next];
    members.clear();
    for (std::size_t k = 0; k < end - first; ++k) {
      const std::size_t leaf = first + k;
      if (cursor[k] == t.near_offsets[leaf + 1] || t.near[cursor[k]] != next) continue;
      bool direct = false;
      for (std::uint32_t r = t.direct_offsets[leaf]; r < t.direct_offsets[leaf + 1]; r += 2)
        direct = direct || (t.direct[r] <= b.first && b.first < t.direct[r + 1]);
      members.push_back({k, cursor[k] - t.near_offsets[leaf], direct});
      ++cursor[k];
    }
    for (std::uint32_t j = b.first; j < b.end; ++j) {
      const W cx = W::set1(s.cx[j]), cy = W::set1(s.cy[j]), cz = W::set1(s.cz[j]), outer2 = W::set1(s.outer2[j]);
      picked.clear();
      for (const Member& member : members) {
        const std::uint32_t leaf_first = t.cells[t.leaves[first + member.leaf]].first;
        const std::vector<TargetLanes>& vectors = targets[member.leaf];
        for (std::size_t v = 0; v < vectors.size(); ++v) {
          const TargetLanes& tl = vectors[v];
          const W d2 = squared_distance(tl.r.x, tl.r.y, tl.r.z, cx, cy, cz);
          if (!simd::any(d2 < outer2)) continue;  // most of an element's target vectors are out of reach
          alignas(64) double lane_d2[lanes];
          d2.store(lane_d2);
          for (std::size_t l = 0; l < tl.count; ++l)
            if (lane_d2[l] < s.outer2[j])
              picked.push_back({leaf_first + static_cast<std::uint32_t>(v * lanes + l), member.place, member.direct});
        }
      }
      if (!picked.empty()) visit(j, picked);
    }
  }
}

void near_pair_starts(const SourceView& s, const TargetView& t, std::size_t first, std::size_t end,
                      std::uint64_t* starts) {
  const std::uint32_t t0 = t.cells[t.leaves[first]].first, n = t.cells[t.leaves[end - 1]].end - t0;
  std::fill(starts, starts + n + 1, 0);
  for_near_elements(s, t, first, end, [&](std::uint32_t, const std::vector<Picked>& picked) {
    for (const Picked& p : picked) ++starts[p.target - t0 + 1];
  });
  for (std::uint32_t i = 0; i < n; ++i) starts[i + 1] += starts[i];
}

template <class Math>
void near_blocks_with(const SourceView& s, const TargetView& t, std::size_t first, std::size_t end,
                      bool corrections, std::uint64_t* starts, double* out, std::uint32_t* where) {
  const std::uint32_t t0 = t.cells[t.leaves[first]].first, n = t.cells[t.leaves[end - 1]].end - t0;
  // The elements and their picked targets, once: they give each target's
  // first pair (its pairs follow those of the targets before it), then the blocks.
  std::vector<std::uint32_t> elements;
  std::vector<std::size_t> element_picks(1, 0);
  std::vector<Picked> picks;
  std::fill(starts, starts + n + 1, 0);
  for_near_elements(s, t, first, end, [&](std::uint32_t j, const std::vector<Picked>& picked) {
    elements.push_back(j);
    picks.insert(picks.end(), picked.begin(), picked.end());
    element_picks.push_back(picks.size());
    for (const Picked& p : picked) ++starts[p.target - t0 + 1];
  });
  for (std::uint32_t i = 0; i < n; ++i) starts[i + 1] += starts[i];
  std::vector<std::uint64_t> cursor(starts, starts + n + 1);
  // The picked targets are packed into the lanes (each lane's arithmetic is
  // its own, so the packing changes no bit).
  for (std::size_t e = 0; e < elements.size(); ++e) {
    const std::uint32_t j = elements[e];
    const std::span<const Picked> picked(picks.data() + element_picks[e], element_picks[e + 1] - element_picks[e]);
    const W cx = W::set1(s.cx[j]), cy = W::set1(s.cy[j]), cz = W::set1(s.cz[j]);
    const Tet4Faces g = tet4_faces(element_nodes_of(s, s.order[j]));
    for (std::size_t k = 0; k < picked.size(); k += lanes) {
      const std::size_t count = std::min(lanes, picked.size() - k);
      const TargetLanes tl = lanes_of(t, count, [&](std::size_t l) { return picked[k + l].target; });
      const std::array<W, 9> nb = closed_form_block<Math>(g, tl.r);
      const W half = W::set1(0.5);
      const std::array<W, 6> closed = {nb[0], nb[4], nb[8], (nb[1] + nb[3]) * half, (nb[2] + nb[6]) * half,
                                       (nb[5] + nb[7]) * half};
      // Computed blocks are the whole closed form where the direct point
      // dipoles skip the pair: its source leaf is taken directly. Else the
      // dipoles reach the target through the expansions, and a shell pair
      // takes the correction, as stored ones do (inner pairs take the
      // closed form alone: the rule may be singular there).
      bool whole = !corrections;
      for (std::size_t l = 0; l < count; ++l) whole = whole && picked[k + l].direct;
      alignas(64) double stored[6][lanes];
      for (int c = 0; c < 6; ++c) closed[c].store(stored[c]);
      if (!whole) {
        alignas(64) double corrected[6][lanes], inner[lanes];
        const std::array<W, 6> rb = rule_block(s, j, tl.r);
        for (int c = 0; c < 6; ++c) (closed[c] - rb[c]).store(corrected[c]);
        squared_distance(tl.r.x, tl.r.y, tl.r.z, cx, cy, cz).store(inner);
        for (std::size_t l = 0; l < count; ++l)
          if (!(picked[k + l].direct && !corrections) && !(inner[l] < s.inner2[j]))
            for (int c = 0; c < 6; ++c) stored[c][l] = corrected[c][l];
      }
      for (std::size_t l = 0; l < count; ++l) {
        const std::uint64_t at = cursor[picked[k + l].target - t0]++;
        for (int c = 0; c < 6; ++c) out[6 * at + c] = stored[c][l];
        if (where != nullptr) {
          where[2 * at] = j;
          where[2 * at + 1] = picked[k + l].place;
        }
      }
    }
  }
}

void near_blocks(const SourceView& s, const TargetView& t, std::size_t first, std::size_t end, bool exact,
                 bool corrections, std::uint64_t* starts, double* out, std::uint32_t* where) {
  if (exact)
    near_blocks_with<ExactMath>(s, t, first, end, corrections, starts, out, where);
  else
    near_blocks_with<FastMath>(s, t, first, end, corrections, starts, out, where);
}

template <class Math>
void self_tensors_with(const SourceView& s, const std::uint32_t* elements, std::size_t count, double* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::array<Vec3, 4> nodes = element_nodes_of(s, elements[i]);
    const Vec3 c = (((nodes[0] + nodes[1]) + nodes[2]) + nodes[3]) * 0.25;
    const std::array<W, 9> nb = closed_form_block<Math>(tet4_faces(nodes), Vec3Lanes<W>::set1(c));
    for (int k = 0; k < 9; ++k) {
      alignas(64) double v[lanes];
      nb[k].store(v);
      out[9 * i + k] = v[0];
    }
  }
}

void self_tensors(const SourceView& s, const std::uint32_t* elements, std::size_t count, bool exact, double* out) {
  if (exact)
    self_tensors_with<ExactMath>(s, elements, count, out);
  else
    self_tensors_with<FastMath>(s, elements, count, out);
}

}  // namespace

const OperatorKernels& operator_kernels_table() {
  static const OperatorKernels table{lanes, &leaf_multipoles, &translate, &leaf_fields, &near_pair_starts, &near_blocks,
                                      &self_tensors};
  return table;
}

ZANDREL_END
