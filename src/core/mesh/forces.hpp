#pragma once
// Magnetic forces on meshed bodies: Maxwell-stress surface forces per face
// and the Kelvin force density (M . grad) H per element.
#include <cstddef>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/constants.hpp"
#include "core/mat3.hpp"
#include "core/mesh/mesh.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// The vacuum Maxwell stress T = (B B^T - |B|^2 I / 2) / mu0 in pascal, one
// tensor per consecutive triple of b_field (tesla); one or two trailing
// values are ignored.
std::vector<Mat3> maxwell_stress_tensor(std::span<const double> b_field);

// F_i = A_i T_i n_i per face, in newton for areas in m^2. Normals are flat
// triples used as given. The normal count (flat length / 3), then the tensor
// count, must equal the number of areas, else the call aborts.
std::vector<Vec3> surface_forces(std::span<const double> face_areas, std::span<const double> face_normals,
                                 std::span<const Mat3> stress_tensor);

// Kelvin force density f_j = M . grad H_j of the first `count` elements, with
// M per element and H at the nodes (columns, one entry per node), H linear in
// each element. No factor mu0: with M, H in A/m the result is in A^2/m^3.
// j_invt: the inverse-transposed Jacobians of all elements (jmatrices).
// Failures, in this order: an element index beyond the H columns (order b,
// a, c, d), count > number of elements, fewer than count magnetisations.
Columns kelvin_force_density(std::span<const Mat3> j_invt, std::span<const Element> elements, std::size_t count,
                             std::span<const Vec3> m, const Columns& h);

// The same from the node positions: element indices are first checked
// against the node count (order a, b, c, d).
Columns kelvin_force_density(std::span<const Vec3> nodes, std::span<const Element> elements, std::size_t count,
                             std::span<const Vec3> m, const Columns& h);

ZANDREL_END
