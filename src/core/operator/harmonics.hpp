#pragma once
// Solid harmonics and the multipole algebra of the field operator.
//
// Normalisation (for m >= 0; U_n^{-m} = (-1)^m conj(U_n^m), likewise T):
//   regular   U_n^m(x) = r^n P_n^m(cos t) e^{i m p} / (n + m)!
//   irregular T_n^m(x) = (n - m)! P_n^m(cos t) e^{i m p} / r^{n+1}
// with P_n^m carrying the Condon-Shortley phase. With it the addition
// theorems have no extra factors:
//   1/|x - y|  = sum_{n,m} conj(U_n^m(y)) T_n^m(x)              (|y| < |x|)
//   U_n^m(x + y) = sum_{k,l} U_k^l(x) U_{n-k}^{m-l}(y)
//   T_n^m(x - y) = sum_{k,l} conj(U_k^l(y)) T_{n+k}^{m+l}(x)    (|y| < |x|)
// and the derivatives stay in the family:
//   d_z U_n^m = U_{n-1}^m,   (d_x + i d_y) U_n^m = U_{n-1}^{m+1},  (d_x - i d_y) U_n^m = -U_{n-1}^{m-1}
//   d_z T_n^m = -T_{n+1}^m,  (d_x + i d_y) T_n^m = T_{n+1}^{m+1},  (d_x - i d_y) T_n^m = -T_{n+1}^{m-1}
// for every m (with the sign of the negative orders above).
//
// A magnetisation M is the magnetic charge -div M, whose multipole moments
// about c are M_n^m = int M . grad conj(U_n^m)(y - c) dy (integration by
// parts; the monopole vanishes). Its potential outside the sources is
// phi = (1/4 pi) sum M_n^m T_n^m(x - c); near a centre c' far from the
// sources it is the local expansion phi = (1/4 pi) sum L_n^m conj(U_n^m)(x - c')
// with L_n^m = int M . grad T_n^m(y - c') dy; H = -grad phi.
// Only m >= 0 is stored: a real source has M_n^{-m} = (-1)^m conj(M_n^m)
// (likewise L), and so the terms (m, -m) of the sums are complex conjugates.
//
// Every expansion is homogeneous in length: with x = a x~, a multipole of
// coefficients M about c is, in units of a, the one of coefficients
// M / a^(n+1) about c / a, and a local one L is L a^n. The operator stores
// each cell's expansions in units of its side, so that cells of every depth
// hold numbers of order one (a raw order-p local of a cell 2^-20 across would
// overflow near p = 24).
#include <array>
#include <complex>
#include <cstddef>
#include <vector>

#include "core/simd/isa.hpp"
#include "core/kernels/point_dipole.hpp"
#include "core/simd/simd.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN
namespace harmonics {

inline constexpr int max_order = 24;

// Position of (n, m), 0 <= m <= n, in a triangular coefficient array.
constexpr std::size_t index(int n, int m) { return static_cast<std::size_t>(n * (n + 1) / 2 + m); }
constexpr std::size_t count(int order) { return index(order + 1, 0); }

using Complex = std::complex<double>;

// Coefficient (n, m) of a stored triangle for any sign of m; zero outside |m| <= n.
inline Complex coefficient(const Complex* c, int n, int m) {
  if (n < 0 || m > n || -m > n) return {};
  if (m >= 0) return c[index(n, m)];
  const Complex v = std::conj(c[index(n, -m)]);
  return (m % 2 == 0) ? v : -v;
}

// Recurrence constants, built once per order and shared by every evaluation.
struct Recurrences {
  int order = 0;
  // irregular: T_n^m = (a z T_{n-1}^m - b T_{n-2}^m) / r^2; diagonal T_m^m = -d (x + i y) / r^2 T_{m-1}^{m-1}
  std::vector<double> ta, tb, td;
  // regular: U_n^m = (a z U_{n-1}^m - b r^2 U_{n-2}^m); diagonal U_m^m = -e (x + i y) U_{m-1}^{m-1}
  std::vector<double> ua, ub, ue;

  explicit Recurrences(int p) : order(p), ta(count(p)), tb(count(p)), td(p + 1), ua(count(p)), ub(count(p)), ue(p + 1) {
    for (int m = 1; m <= p; ++m) {
      td[m] = 2.0 * m - 1.0;
      ue[m] = 1.0 / (2.0 * m);
    }
    for (int n = 1; n <= p; ++n)
      for (int m = 0; m < n; ++m) {
        ta[index(n, m)] = 2.0 * n - 1.0;
        tb[index(n, m)] = static_cast<double>((n + m - 1) * (n - m - 1));
        const double denominator = static_cast<double>((n - m) * (n + m));
        ua[index(n, m)] = (2.0 * n - 1.0) / denominator;
        ub[index(n, m)] = 1.0 / denominator;
      }
  }
};

// The recurrence both families share, in scaled coordinates (x, y, z) with
// q the squared scale: H_0^0 = first; the diagonal H_m^m = -d_m (x + i y)
// H_{m-1}^{m-1}; up the degrees H_n^m = a_nm z H_{n-1}^m - b_nm q H_{n-2}^m
// (a = 1 on the first step, where b vanishes), for n <= p.
template <class W>
inline void harmonic_recurrence(int p, W first, W x, W y, W z, W q, const double* d, const double* a,
                                const double* b, W* re, W* im) {
  re[0] = first;
  im[0] = W::set1(0.0);
  for (int m = 0; m <= p; ++m) {
    const std::size_t mm = index(m, m);
    if (m > 0) {
      const std::size_t prev = index(m - 1, m - 1);
      const W dm = W::set1(-d[m]);
      re[mm] = dm * (x * re[prev] - y * im[prev]);
      im[mm] = dm * (x * im[prev] + y * re[prev]);
    }
    if (m + 1 > p) break;
    const std::size_t next = index(m + 1, m);
    const W an = W::set1(a[next]);
    re[next] = an * z * re[mm];
    im[next] = an * z * im[mm];
    for (int n = m + 2; n <= p; ++n) {
      const std::size_t k = index(n, m), k1 = index(n - 1, m), k2 = index(n - 2, m);
      const W ak = W::set1(a[k]), bk = W::set1(b[k]);
      re[k] = ak * z * re[k1] - bk * q * re[k2];
      im[k] = ak * z * im[k1] - bk * q * im[k2];
    }
  }
}

// Irregular harmonics T_n^m, n <= order (default and at most rec.order), at
// lanes of points (x, y, z) != 0: the recurrence in x / r^2 (scale 1 / r^2).
template <class W>
inline void irregular(const Recurrences& rec, W x, W y, W z, W* re, W* im, int order = -1) {
  const W inv_r2 = W::set1(1.0) / ((x * x + y * y) + z * z);
  harmonic_recurrence(order < 0 ? rec.order : order, simd::sqrt(inv_r2), x * inv_r2, y * inv_r2, z * inv_r2,
                      inv_r2, rec.td.data(), rec.ta.data(), rec.tb.data(), re, im);
}

// Regular harmonics U_n^m, n <= rec.order, at lanes of points (a_{m+1,m} = 1).
template <class W>
inline void regular(const Recurrences& rec, W x, W y, W z, W* re, W* im) {
  harmonic_recurrence(rec.order, W::set1(1.0), x, y, z, (x * x + y * y) + z * z, rec.ue.data(), rec.ua.data(),
                      rec.ub.data(), re, im);
}

// Scalar regular harmonics as complex numbers.
inline void regular(const Recurrences& rec, const Vec3& v, Complex* out) {
  using W = simd::V1;
  std::array<W, count(max_order)> re, im;
  regular(rec, W::set1(v.x), W::set1(v.y), W::set1(v.z), re.data(), im.data());
  for (std::size_t k = 0; k < count(rec.order); ++k) out[k] = {re[k].v[0], im[k].v[0]};
}

// Scalar irregular harmonics as complex numbers (any order up to rec.order).
inline void irregular(const Recurrences& rec, const Vec3& v, Complex* out) {
  using W = simd::V1;
  std::vector<W> re(count(rec.order)), im(count(rec.order));
  irregular(rec, W::set1(v.x), W::set1(v.y), W::set1(v.z), re.data(), im.data());
  for (std::size_t k = 0; k < re.size(); ++k) out[k] = {re[k].v[0], im[k].v[0]};
}

// Multipole moments (orders 1 .. p, lanes = point dipoles) of point dipoles d
// at offsets y from the centre: M_n^m += conj(d . grad U_n^m(y)), with
//   d . grad U_n^m = U_{n-1}^{m+1} (dx - i dy)/2 - U_{n-1}^{m-1} (dx + i dy)/2 + dz U_{n-1}^m
// (at m = 0, U_{n-1}^{-1} = -conj(U_{n-1}^1)).
// `u_re/u_im` hold U up to order p - 1 at y; acc_re/acc_im accumulate per lane.
template <class W>
inline void add_dipole_moments(int p, const W* u_re, const W* u_im, W dx, W dy, W dz, W* acc_re, W* acc_im) {
  const W half = W::set1(0.5);
  const W ax = dx * half, ay = dy * half;
  for (int n = 1; n <= p; ++n) {
    for (int m = 0; m <= n; ++m) {
      W re = W::set1(0.0), im = W::set1(0.0);
      if (m <= n - 1) {  // dz U_{n-1}^m
        re = dz * u_re[index(n - 1, m)];
        im = dz * u_im[index(n - 1, m)];
      }
      if (m + 1 <= n - 1) {  // U_{n-1}^{m+1} (ax - i ay)
        const W ur = u_re[index(n - 1, m + 1)], ui = u_im[index(n - 1, m + 1)];
        re = re + (ur * ax + ui * ay);
        im = im + (ui * ax - ur * ay);
      }
      {  // - U_{n-1}^{m-1} (ax + i ay)
        W ur, ui;
        if (m >= 1) {
          ur = u_re[index(n - 1, m - 1)];
          ui = u_im[index(n - 1, m - 1)];
        } else if (n - 1 >= 1) {
          ur = -u_re[index(n - 1, 1)];
          ui = u_im[index(n - 1, 1)];
        } else {
          ur = ui = W::set1(0.0);
        }
        re = re - (ur * ax - ui * ay);
        im = im - (ui * ax + ur * ay);
      }
      acc_re[index(n, m)] = acc_re[index(n, m)] + re;
      acc_im[index(n, m)] = acc_im[index(n, m)] - im;  // conjugate
    }
  }
}

// Translates a multipole about c to one about c' (t = c - c'), adding into out:
//   M'_n^m = sum_{k,l} conj(U_k^l(t)) M_{n-k}^{m-l}.
inline void add_translated_multipole(int p, const Complex* u_t, const Complex* in, Complex* out) {
  for (int n = 1; n <= p; ++n)
    for (int m = 0; m <= n; ++m) {
      Complex s{};
      for (int k = 0; k <= n - 1; ++k)
        for (int l = -k; l <= k; ++l) {
          const Complex src = coefficient(in, n - k, m - l);
          if (src == Complex{}) continue;
          s += std::conj(coefficient(u_t, k, l)) * src;
        }
      out[index(n, m)] += s;
    }
}


// Converts a multipole (orders 1 .. p) to a local expansion (orders 0 .. p)
// about a centre at d from it (d = c_local - c_multipole, |d| beyond both
// expansions' radii), adding into out:
//   L_j^i = (-1)^j sum_{k,l} M_k^l T_{k+j}^{l+i}(d)
// from T(x - c) = T((c' - c) - (c' - x)) expanded by the addition theorem.
// t_d holds T up to order 2p at d. This direct form costs O(p^4); the
// operator uses the rotated form of translations.hpp and keeps this one as its check.
inline void add_multipole_to_local(int p, const Complex* t_d, const Complex* in, Complex* out) {
  for (int j = 0; j <= p; ++j)
    for (int i = 0; i <= j; ++i) {
      Complex s{};
      for (int k = 1; k <= p; ++k)
        for (int l = -k; l <= k; ++l) s += coefficient(in, k, l) * coefficient(t_d, k + j, l + i);
      out[index(j, i)] += (j % 2 == 0) ? s : -s;
    }
}

// Translates a local expansion about c' to one about c'' (t = c'' - c'), adding into out:
//   L''_k^l = sum_{n >= k, m} L_n^m conj(U_{n-k}^{m-l}(t)),
// from conj(U_n^m(x - c')) = sum conj(U_k^l(x - c'')) conj(U_{n-k}^{m-l}(t)).
inline void add_translated_local(int p, const Complex* u_t, const Complex* in, Complex* out) {
  for (int k = 0; k <= p; ++k)
    for (int l = 0; l <= k; ++l) {
      Complex s{};
      for (int n = k; n <= p; ++n)
        for (int m = l - (n - k); m <= l + (n - k); ++m) s += coefficient(in, n, m) * std::conj(coefficient(u_t, n - k, m - l));
      out[index(k, l)] += s;
    }
}

// The field of a local expansion, H = -(1/4 pi) sum_{n,m} L_n^m grad conj(U_n^m)(x - c),
// as one sum over the regular harmonics of order n' = n - 1:
//   d_x U_n^m = (U_{n-1}^{m+1} - U_{n-1}^{m-1})/2, d_y U_n^m = -i (U_{n-1}^{m+1} + U_{n-1}^{m-1})/2,
//   d_z U_n^m = U_{n-1}^m
// give H_c = sum_{n', m'} F_c conj(U_{n'}^{m'}) with
//   F_x = -(L_{n'+1}^{m'-1} - L_{n'+1}^{m'+1}) / (8 pi), F_y = -i (L_{n'+1}^{m'-1} + L_{n'+1}^{m'+1}) / (8 pi),
//   F_z = -L_{n'+1}^{m'} / (4 pi),
// and, the pairs (m', -m') being conjugate, H_c = sum_{m' >= 0} a_c Re U + b_c Im U with
// a = f Re F, b = f Im F, f = 1 at m' = 0 and 2 above. The six real arrays
// (a_x, b_x, a_y, b_y, a_z, b_z) of count(p - 1) entries are formed once per
// cell; `scale` multiplies them all (1/a for a local in units of the cell side a).
inline void local_field_coefficients(int p, const Complex* l, double scale, double* out) {
  const std::size_t n_out = count(p - 1);
  const double k8 = 0.5 * inv_4pi * scale, k4 = inv_4pi * scale;
  for (int n = 0; n <= p - 1; ++n)
    for (int k = 0; k <= n; ++k) {
      const Complex lower = coefficient(l, n + 1, k - 1), upper = coefficient(l, n + 1, k + 1);
      const Complex f[3] = {-(lower - upper) * k8, Complex(0.0, -k8) * (lower + upper), -coefficient(l, n + 1, k) * k4};
      const double w = k == 0 ? 1.0 : 2.0;
      for (int c = 0; c < 3; ++c) {
        out[(2 * c) * n_out + index(n, k)] = w * f[c].real();
        out[(2 * c + 1) * n_out + index(n, k)] = w * f[c].imag();
      }
    }
}

// Adds the field of local_field_coefficients `a` (order p) at lanes of targets
// whose regular harmonics (x - c, in the units of the expansion), up to
// order p - 1, are u_re/u_im: two fused steps per harmonic and component.
template <class W>
inline void add_local_field(int p, const double* a, const W* u_re, const W* u_im, W& hx, W& hy, W& hz) {
  const std::size_t n = count(p - 1);
  W s[3] = {W::set1(0.0), W::set1(0.0), W::set1(0.0)};
  for (std::size_t k = 0; k < n; ++k)
    for (int c = 0; c < 3; ++c)
      s[c] = simd::fma(W::set1(a[(2 * c) * n + k]), u_re[k], simd::fma(W::set1(a[(2 * c + 1) * n + k]), u_im[k], s[c]));
  hx = hx + s[0];
  hy = hy + s[1];
  hz = hz + s[2];
}

}  // namespace harmonics
ZANDREL_END
