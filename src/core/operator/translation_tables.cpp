#include "core/operator/translation_tables.hpp"

#include <cmath>
#include <complex>

#include "core/errors.hpp"
#include "core/operator/harmonics.hpp"
#include "core/operator/pieces.hpp"
#include "core/operator/translations.hpp"

namespace zandrel {
namespace {

using harmonics::Complex;

double factorial(int n) {
  double f = 1.0;
  for (int k = 2; k <= n; ++k) f *= k;
  return f;
}

// Gauss-Legendre nodes and weights on [-1, 1] (Newton iteration on P_count).
void gauss_legendre(int count, std::vector<double>& nodes, std::vector<double>& weights) {
  nodes.resize(count);
  weights.resize(count);
  for (int i = 0; i < count; ++i) {
    double x = std::cos(M_PI * (i + 0.75) / (count + 0.5));
    double dp = 1.0;
    for (int iteration = 0; iteration < 100; ++iteration) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= count; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      if (count == 1) p0 = 1.0;
      dp = count * (x * p1 - p0) / (x * x - 1.0);
      const double step = p1 / dp;
      x -= step;
      if (std::fabs(step) < 1e-16) break;
    }
    nodes[i] = x;
    weights[i] = 2.0 / ((1.0 - x * x) * dp * dp);
  }
}

// harmonic_norm(n, m) of degrees 0..p and orders -n..n, at [n*n + n + m].
std::vector<double> racah_norms(int p) {
  std::vector<double> out((p + 1) * (p + 1));
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m) out[n * n + n + m] = harmonic_norm(n, m);
  return out;
}

// C_n^m (Racah-normalised) of degrees 0..p and orders -n..n at a unit vector,
// at [n*n + n + m]; `norms` from racah_norms.
void racah(const harmonics::Recurrences& rec, int p, const Vec3& x, const std::vector<double>& norms,
           std::vector<Complex>& u, Complex* out) {
  harmonics::regular(rec, x, u.data());
  for (int n = 0; n <= p; ++n)
    for (int m = -n; m <= n; ++m) out[n * n + n + m] = harmonics::coefficient(u.data(), n, m) * norms[n * n + n + m];
}

// The product rule on the sphere (Gauss-Legendre in cos theta, 2p + 1 equal
// steps in phi: exact for degree 2p) with C_n^m at each of its points: the
// part of every angle's Wigner matrices that does not depend on the angle.
struct SphereRule {
  int p;
  harmonics::Recurrences rec;
  std::vector<double> norms;    // racah_norms(p)
  std::vector<Vec3> points;
  std::vector<double> weights;  // each times 1 / (4 pi)
  std::vector<Complex> c;       // (p + 1)^2 per point

  explicit SphereRule(int order) : p(order), rec(order), norms(racah_norms(order)) {
    std::vector<double> nodes, gauss;
    gauss_legendre(p + 1, nodes, gauss);
    const int nphi = 2 * p + 1;
    std::vector<Complex> u(harmonics::count(p));
    const std::size_t size = static_cast<std::size_t>((p + 1) * (p + 1));
    for (int a = 0; a <= p; ++a) {
      const double ct = nodes[a], st = std::sqrt(1.0 - ct * ct);
      for (int b = 0; b < nphi; ++b) {
        const double phi = 2.0 * M_PI * b / nphi;
        points.push_back(Vec3{st * std::cos(phi), st * std::sin(phi), ct});
        weights.push_back(gauss[a] * 2.0 * M_PI / nphi / (4.0 * M_PI));
        c.resize(c.size() + size);
        racah(rec, p, points.back(), norms, u, c.data() + c.size() - size);
      }
    }
  }
};

// The Wigner matrices d^n(beta) of the rotation about y, degrees 1..p, acting
// on Racah-normalised coefficients: d_{m'm} = (2n+1)/(4 pi) int C_n^m(R^T x) conj(C_n^m'(x)) dx,
// by the sphere rule. d[n] is (2n+1)^2, [m'+n][m+n]; only the rows m' >= 0
// (the ones fold reads) are formed, the others stay zero.
std::vector<std::vector<double>> wigner_y(const SphereRule& rule, double beta) {
  const int p = rule.p;
  std::vector<Complex> u(harmonics::count(p)), rc((p + 1) * (p + 1));
  std::vector<std::vector<double>> d(p + 1);
  for (int n = 1; n <= p; ++n) d[n].assign((2 * n + 1) * (2 * n + 1), 0.0);
  const double cb = std::cos(beta), sb = std::sin(beta);
  for (std::size_t k = 0; k < rule.points.size(); ++k) {
    const Vec3& x = rule.points[k];
    const Complex* c = rule.c.data() + k * (p + 1) * (p + 1);
    racah(rule.rec, p, Vec3{cb * x.x - sb * x.z, x.y, sb * x.x + cb * x.z}, rule.norms, u, rc.data());  // R_y(beta)^T x
    for (int n = 1; n <= p; ++n) {
      const int size = 2 * n + 1;
      const Complex* cn = c + n * n;
      const Complex* rn = rc.data() + n * n;
      double* dn = d[n].data();
      const double f = size * rule.weights[k];
      // The matrix is real: only Re(conj(c_m') rc_m) is kept.
      for (int mp = n; mp < size; ++mp) {
        const double ar = cn[mp].real() * f, ai = cn[mp].imag() * f;
        for (int m = 0; m < size; ++m) dn[mp * size + m] += ar * rn[m].real() + ai * rn[m].imag();
      }
    }
  }
  return d;
}

// Folds d (full, [m'+n][m+n]) for m >= 0 storage.
void fold(int p, const std::vector<std::vector<double>>& d, double* out) {
  for (int n = 1; n <= p; ++n) {
    const int size = 2 * n + 1;
    const auto at = [&](int mp, int m) { return d[n][(mp + n) * size + (m + n)]; };
    double* pm = out + translation::folded_offset(n);
    double* qm = pm + (n + 1) * (n + 1);
    for (int mp = 0; mp <= n; ++mp)
      for (int m = 0; m <= n; ++m) {
        const double sign = (m % 2 == 0) ? 1.0 : -1.0;
        pm[mp * (n + 1) + m] = m == 0 ? at(mp, 0) : at(mp, m) + sign * at(mp, -m);
        if (mp >= 1 && m >= 1) qm[(mp - 1) * n + (m - 1)] = at(mp, m) - sign * at(mp, -m);
      }
  }
}

}  // namespace

double harmonic_norm(int n, int m) {
  if (m < 0) m = -m;
  return std::sqrt(factorial(n - m) * factorial(n + m));
}

namespace {

// Forward by -theta; backward by +theta is the transpose (d(-b) = d(b)^T),
// which translation::rotate reads from the same matrices.
void fold_y_rotation(const SphereRule& rule, double theta, double* out) { fold(rule.p, wigner_y(rule, -theta), out); }

}  // namespace

std::vector<double> y_rotation(int p, double theta) {
  std::vector<double> out(translation::rotation_size(p));
  fold_y_rotation(SphereRule(p), theta, out.data());
  return out;
}

std::vector<double> z_translation(int kind, int p) {
  std::vector<double> z;
  for (int i = 0; i <= p; ++i) {
    const int lo = i > 1 ? i : 1;
    for (int row = lo; row <= p; ++row)
      for (int col = lo; col <= p; ++col) {
        const double si = harmonic_norm(col, i), so = harmonic_norm(row, i);
        double v = 0.0;
        if (kind == translation::multipole_to_multipole) {
          if (col <= row) v = so / (si * factorial(row - col));
        } else if (kind == translation::multipole_to_local) {
          v = (((i + row) % 2 == 0) ? 1.0 : -1.0) * factorial(col + row) / (si * so);
        } else {
          if (col >= row) v = si / (so * factorial(col - row));
        }
        z.push_back(v);
      }
  }
  return z;
}

std::uint32_t RotationSet::id(double dx, double dy, double dz) {
  const double angle = std::atan2(std::sqrt(dx * dx + dy * dy), dz);
  const long long key = std::llround(std::ldexp(angle, 40));
  auto it = ids_.find(key);
  if (it == ids_.end()) {
    it = ids_.emplace(key, static_cast<std::uint32_t>(angles_.size())).first;
    angles_.push_back(angle);
  }
  return it->second;
}

std::vector<double> RotationSet::tables(int p, std::uint32_t threads) const {
  const std::size_t size = translation::rotation_size(p);
  std::vector<double> out(angles_.size() * size);
  const SphereRule rule(p);
  for_pieces(angles_.size(), 4, threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) fold_y_rotation(rule, angles_[k], out.data() + k * size);
  });
  return out;
}

}  // namespace zandrel
