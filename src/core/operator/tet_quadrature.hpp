#pragma once
// Grundmann-Moeller rules on the tetrahedron: exact for polynomials up to
// degree 2s + 1, with (s + 1)(s + 2)(s + 3)(s + 4)/24 + ... points (5 for
// degree 3, 15 for degree 5, 35 for degree 7); some weights are negative.
// A uniformly magnetised element stands in the far field for point dipoles
// w_k V M at the rule's points: their moments agree with the element's up to
// the rule's degree.
#include <array>
#include <vector>

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
