#pragma once
// Grundmann-Moeller rules on the tetrahedron: exact for polynomials up to
// degree 2s + 1, with (s + 1)(s + 2)(s + 3)(s + 4)/24 + ... points (5 for
// degree 3, 15 for degree 5, 35 for degree 7); some weights are negative.
// A uniformly magnetised element stands in the far field for point dipoles
// w_k V M at the rule's points: their moments agree with the element's up to
// the rule's degree.
#include <array>
#include <vector>

#include "core/vec3.hpp"

namespace zandrel {

struct TetRule {
  std::vector<std::array<double, 4>> barycentric;  // weights of the four nodes
  std::vector<double> weights;                     // sum to 1
};

// The rule of the given odd degree (1, 3, 5, ...).
TetRule grundmann_moeller_rule(int degree);

// The rule an operator stands its elements for: degree 2 is the symmetric
// four-point rule (positive weights, no point at the centroid); odd degrees
// are Grundmann-Moeller.
TetRule tet_rule(int degree);

}  // namespace zandrel

ZANDREL_BEGIN

// The far-field point of an element: the rule's barycentric combination of
// its nodes (b: the four weights of one rule point). One formula for the
// build and the kernels, so a point formed again anywhere has the same bits.
inline Vec3 rule_point(const std::array<Vec3, 4>& n, const double* b) {
  return ((n[0] * b[0] + n[1] * b[1]) + n[2] * b[2]) + n[3] * b[3];
}

ZANDREL_END
