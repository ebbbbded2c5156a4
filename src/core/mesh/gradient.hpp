#pragma once
// Gradients of fields that are linear inside each tetrahedron, given by their
// values at the nodes. The work is split as in a finite-element code: the
// inverse-transposed Jacobian of every element (once per mesh), the nodal
// value differences of one field, and their product. With reference
// coordinates xi, f(A + J xi) = f_a + g . xi, so grad f = J^-T g.
#include <span>
#include <vector>

#include "core/mat3.hpp"
#include "core/mesh/mesh.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// One J^-T per element, J having the columns B - A, C - A, D - A. Indices are
// checked against the node count in the order a, b, c, d. A flat element
// (det 0) gives infinite or NaN entries; an inverted one is handled like any
// other.
std::vector<Mat3> jmatrices(std::span<const Vec3> nodes, std::span<const Element> elements);

// One g = (f_b - f_a, f_c - f_a, f_d - f_a) per element, fvalues read at b,
// a, c, d in that order, each read checked against fvalues.size().
std::vector<Vec3> gvectors(std::span<const Element> elements, std::span<const double> fvalues);

// The constant gradient of the field inside an element.
inline Vec3 gradient(const Mat3& j_invt, const Vec3& g) { return j_invt.mul_vec(g); }

ZANDREL_END
