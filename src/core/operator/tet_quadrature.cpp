#include "core/operator/tet_quadrature.hpp"

#include <cmath>

#include "core/errors.hpp"

namespace zandrel {
namespace {

double factorial(int n) {
  double f = 1.0;
  for (int k = 2; k <= n; ++k) f *= k;
  return f;
}

// Calls visit(parts) for every way of writing `total` as four non-negative parts.
template <class Visit>
void compositions(int total, Visit&& visit) {
  for (int a = 0; a <= total; ++a)
    for (int b = 0; a + b <= total; ++b)
      for (int c = 0; a + b + c <= total; ++c) visit(std::array<int, 4>{a, b, c, total - a - b - c});
}

}  // namespace

TetRule grundmann_moeller_rule(int degree) {
  if (degree < 1 || degree % 2 == 0) panic("tetrahedron rule degree must be odd and positive");
  const int s = (degree - 1) / 2;
  const int d = 2 * s + 1;
  constexpr int n = 3;
  TetRule rule;
  double sum = 0.0;
  for (int i = 0; i <= s; ++i) {
    const double w = ((i % 2 == 0) ? 1.0 : -1.0) * std::pow(2.0, -2 * s) * std::pow(d + n - 2 * i, d) /
                     (factorial(i) * factorial(d + n - i));
    compositions(s - i, [&](const std::array<int, 4>& parts) {
      std::array<double, 4> bary;
      for (int k = 0; k < 4; ++k) bary[k] = (2.0 * parts[k] + 1.0) / (d + n - 2 * i);
      rule.barycentric.push_back(bary);
      rule.weights.push_back(w);
      sum += w;
    });
  }
  // The rule integrates over the unit simplex (volume 1/6); rescale to weights summing to one.
  for (double& w : rule.weights) w /= sum;
  return rule;
}

TetRule tet_rule(int degree) {
  if (degree != 2) return grundmann_moeller_rule(degree);
  // (a, b, b, b) and its permutations, a = (5 + 3 sqrt 5) / 20, b = (5 - sqrt 5) / 20.
  const double a = (5.0 + 3.0 * std::sqrt(5.0)) / 20.0, b = (5.0 - std::sqrt(5.0)) / 20.0;
  TetRule rule;
  for (int k = 0; k < 4; ++k) {
    std::array<double, 4> bary = {b, b, b, b};
    bary[k] = a;
    rule.barycentric.push_back(bary);
    rule.weights.push_back(0.25);
  }
  return rule;
}

}  // namespace zandrel
