#pragma once
// The translations of the expansions in O(p^3): rotate the coefficients so
// that the offset between the centres lies on the z axis, translate along z
// (where the addition theorems keep each order m to itself), rotate back.
// Multipole to multipole (up the source tree), multipole to local (between
// well-separated cells) and local to local (down the target tree).
//
// The rotations act on coefficients normalised so that each degree n
// transforms by the unitary Wigner matrix of the rotation:
//   A_n^m = s_nm M_n^m (multipoles),  B_n^m = L_n^m / s_nm (locals),
//   s_nm = sqrt((n - m)! (n + m)!),
// since U_n^m = r^n C_n^m / s_nm and T_n^m = s_nm C_n^m / r^(n+1) with C_n^m
// the Racah-normalised spherical harmonics. The operator stores every cell's
// expansions so, in units of the cell's side.
//
// For an offset of polar angle theta and azimuth phi, a multipole turns onto
// +z by the phases e^{i m phi} and then the y-rotation by -theta, and back
// by the y-rotation by +theta and the phases e^{-i m phi}; a local turns by
// e^{-i m phi} and -theta, and back by +theta and e^{i m phi}. The
// y-rotation mixes the orders m and -m of a degree, and for coefficients with
// the conjugate symmetry X^{-m} = (-1)^m conj(X^m) it folds into two real
// matrices per degree, one on the real parts (orders 0..n) and one on the
// imaginary parts (orders 1..n). They depend on the polar angle only; the
// operator builds them once per distinct angle (translation_tables.hpp).
//
// Along z by rho, for the orders m >= 0 and degrees from max(m, 1):
//   multipole to multipole (t = c_old - c_new): A'_n = sum_q s_n/(s_q (n-q)!) rho^(n-q) A_q,
//   multipole to local (d = c_local - c_multipole):
//     B_j = (-1)^(m+j) sum_k (k+j)!/(s_k s_j) rho^-(k+j+1) conj(A_k),
//   local to local (t = c_new - c_old): B'_k = sum_n s_n/(s_k (n-k)!) rho^(n-k) B_n.
// Each is a matrix per order acting on the input scaled by a power of rho per
// degree, its output scaled by another.
#include <cstddef>

#include "core/simd/isa.hpp"
#include "core/operator/harmonics.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN
namespace translation {

enum Kind : int { multipole_to_multipole = 0, multipole_to_local = 1, local_to_local = 2 };

// Offsets into one angle's table: for each degree n = 1..p the forward
// matrices P_n ((n+1) x (n+1), real parts) and Q_n (n x n, imaginary parts),
// then the same for the backward rotation.
constexpr std::size_t folded_size(int n) { return static_cast<std::size_t>((n + 1) * (n + 1) + n * n); }
constexpr std::size_t folded_offset(int n) {
  std::size_t s = 0;
  for (int k = 1; k < n; ++k) s += folded_size(k);
  return s;
}
// One angle's table holds the forward matrices only: the backward rotation
// is their transpose (see rotate).
constexpr std::size_t rotation_size(int p) { return folded_offset(p + 1); }

// Offset of order i's matrix in a z table, and its size (degrees from max(i, 1)).
constexpr int z_count(int p, int i) { return p - (i > 1 ? i : 1) + 1; }
constexpr std::size_t z_offset(int p, int i) {
  std::size_t s = 0;
  for (int k = 0; k < i; ++k) s += static_cast<std::size_t>(z_count(p, k) * z_count(p, k));
  return s;
}

// out[a] = sum_b m[a * row + b * col] x[b] for a < Rows, b < cols: the sums
// run input by input with the Rows partial sums in registers (independent
// chains; a sum formed in memory would wait on every store). (row, col) =
// (ld, 1) reads the matrix, (1, ld) its transpose.
template <int Rows, class W>
inline void matvec(const double* m, int row, int col, int cols, const W* x, W* out) {
  W acc[Rows];
  for (int a = 0; a < Rows; ++a) acc[a] = W::set1(m[a * row]) * x[0];
  for (int b = 1; b < cols; ++b) {
    const W xb = x[b];
    for (int a = 0; a < Rows; ++a) acc[a] = simd::fma(W::set1(m[a * row + b * col]), xb, acc[a]);
  }
  for (int a = 0; a < Rows; ++a) out[a] = acc[a];
}

// matvec with the row count chosen at run time (1 .. max_order + 1).
template <class W, int Rows = 1>
inline void matvec_rows(int rows, const double* m, int row, int col, int cols, const W* x, W* out) {
  if constexpr (Rows <= harmonics::max_order + 1) {
    if (rows == Rows) return matvec<Rows>(m, row, col, cols, x, out);
    matvec_rows<W, Rows + 1>(rows, m, row, col, cols, x, out);
  }
}

// Applies one angle's folded matrices to lanes of coefficients of degrees
// 1..p, in place: forward (P_n to the real parts, Q_n to the imaginary parts
// of orders >= 1), or backward. The backward rotation is the inverse, d^T of
// the Wigner matrices; folded onto orders m >= 0 it reads Q_n^T and
// D P_n^T D^-1 with D = diag(2, 1, ..., 1) (order 0 takes both signs of m
// once, the others twice), where the factors 2 and 1/2 are exact.
template <class W>
inline void rotate(int p, const double* table, bool backward, W* re, W* im) {
  // matvec reads all of its input before it writes: each degree turns in place.
  const W two = W::set1(2.0), half = W::set1(0.5);
  for (int n = 1; n <= p; ++n) {
    const double* pm = table + folded_offset(n);
    const double* qm = pm + (n + 1) * (n + 1);
    W* r = re + harmonics::index(n, 0);
    W* i = im + harmonics::index(n, 1);
    if (backward) {
      r[0] = r[0] * half;
      matvec_rows(n + 1, pm, 1, n + 1, n + 1, r, r);
      r[0] = r[0] * two;
      matvec_rows(n, qm, 1, n, n, i, i);
    } else {
      matvec_rows(n + 1, pm, n + 1, 1, n + 1, r, r);
      matvec_rows(n, qm, n, 1, n, i, i);
    }
  }
}

// Multiplies order m of every degree 1..p by (c + i s)^m.
template <class W>
inline void phase(int p, W c, W s, W* re, W* im) {
  W pc = c, ps = s;
  for (int m = 1; m <= p; ++m) {
    for (int n = m; n <= p; ++n) {
      const std::size_t k = harmonics::index(n, m);
      const W r = re[k] * pc - im[k] * ps;
      const W i = re[k] * ps + im[k] * pc;
      re[k] = r;
      im[k] = i;
    }
    const W nc = pc * c - ps * s;
    ps = pc * s + ps * c;
    pc = nc;
  }
}

// One translation of lanes of expansions (degrees 1..p, normalised, the input
// already in the output's units of length): the offset's azimuth (cos, sin;
// any value on the z axis) and length rho in those units, the folded
// rotation of its polar angle, the z table of the kind. In is overwritten.
template <class W>
inline void translate(Kind kind, int p, const double* rotation, const double* z, W cos_phi, W sin_phi, W rho,
                      W* re, W* im, W* out_re, W* out_im) {
  const W neg_sin = -sin_phi;
  phase(p, cos_phi, kind == local_to_local ? neg_sin : sin_phi, re, im);
  rotate(p, rotation, false, re, im);
  // Powers of rho around the z matrices.
  W up[harmonics::max_order + 2], down[harmonics::max_order + 2];
  up[0] = down[0] = W::set1(1.0);
  const W rinv = W::set1(1.0) / rho;
  for (int n = 1; n <= p + 1; ++n) {
    up[n] = up[n - 1] * rho;
    down[n] = down[n - 1] * rinv;
  }
  // Each degree's power of rho is applied as the coefficients enter and leave the z matrices.
  const W* in_scale = kind == local_to_local ? up : down;
  const W* out_scale = kind == multipole_to_multipole ? up : kind == multipole_to_local ? down + 1 : down;
  W x[harmonics::max_order + 1], y[harmonics::max_order + 1];
  for (int i = 0; i <= p; ++i) {
    const int lo = i > 1 ? i : 1, count = z_count(p, i);
    const double* mat = z + z_offset(p, i);
    for (int part = 0; part < (i > 0 ? 2 : 1); ++part) {
      const W* in = part == 0 ? re : im;
      W* out = part == 0 ? out_re : out_im;
      for (int k = lo; k <= p; ++k) x[k - lo] = in[harmonics::index(k, i)] * in_scale[k];
      if (part == 1 && kind == multipole_to_local)
        for (int k = 0; k < count; ++k) x[k] = -x[k];  // conjugate
      matvec_rows(count, mat, count, 1, count, x, y);
      for (int j = lo; j <= p; ++j) out[harmonics::index(j, i)] = y[j - lo] * out_scale[j];
    }
    if (i == 0)
      for (int j = lo; j <= p; ++j) out_im[harmonics::index(j, 0)] = W::set1(0.0);
  }
  rotate(p, rotation, true, out_re, out_im);
  phase(p, cos_phi, kind == multipole_to_multipole ? neg_sin : sin_phi, out_re, out_im);
}

}  // namespace translation
ZANDREL_END
