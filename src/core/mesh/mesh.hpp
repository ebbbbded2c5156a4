#pragma once
// Elementary measures of four-node tetrahedra. Elements are four 0-based node
// indices; every index is checked against the node count before use.
#include <array>
#include <cstdint>
#include <span>

#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

using Element = std::array<std::uint32_t, 4>;

// out[i] = |det(B-A, C-A, D-A)| / 6 of element i; a flat element or a
// repeated node gives exactly 0. out must hold one entry per element.
void volumes(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::span<double> out);

// out[i] = (((A + B) + C) + D) / 4 of element i.
void centroids(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::span<Vec3> out);

// Node idx of a flat coordinate array (positions 3idx, 3idx+1, 3idx+2, each checked).
Vec3 node_coords(std::span<const double> nodes, std::size_t idx);

// The four node positions of an element, indices checked in the order a, b, c, d.
std::array<Vec3, 4> element_nodes(std::span<const Vec3> nodes, const Element& element);

ZANDREL_END
