#pragma once
// The combinatorics of a four-node tetrahedron, from one table: its faces as
// corner triples by local node index. Every other table (the edges of each
// face, the six edges of the element, the face order of the boundary
// extraction) is derived from it at compile time.
//
// For a positively oriented element (node 3 on the side of
// (n1 - n0) x (n2 - n0)) the right-hand normal (b - a) x (c - a) of every
// face (a, b, c) points out of the element.
#include <array>
#include <cstddef>

namespace zandrel::tet4 {

using Triple = std::array<std::size_t, 3>;

// Corners (a, b, c) of face f = 0 .. 3; the opposite nodes are 3, 1, 0, 2.
inline constexpr std::array<Triple, 4> faces = {{{0, 2, 1}, {0, 3, 2}, {1, 2, 3}, {0, 1, 3}}};

// Edge k of face f as (start, end, opposite): the cyclic rotations of the
// face's corner triple, so every face is walked in its own sense.
inline constexpr std::array<std::array<Triple, 3>, 4> face_edges = [] {
  std::array<std::array<Triple, 3>, 4> e{};
  for (std::size_t f = 0; f < 4; ++f)
    for (std::size_t k = 0; k < 3; ++k) e[f][k] = {faces[f][k], faces[f][(k + 1) % 3], faces[f][(k + 2) % 3]};
  return e;
}();

// The six edges of the element as node pairs (lower, higher), in
// lexicographic order: 0-1, 0-2, 0-3, 1-2, 1-3, 2-3.
inline constexpr std::array<std::array<std::size_t, 2>, 6> edges = [] {
  std::array<std::array<std::size_t, 2>, 6> e{};
  std::size_t n = 0;
  for (std::size_t u = 0; u < 4; ++u)
    for (std::size_t v = u + 1; v < 4; ++v) e[n++] = {u, v};
  return e;
}();

// For every face, the index in `edges` of the element edge under each of its
// three sides (side k runs from corner k to corner k + 1).
inline constexpr std::array<Triple, 4> face_edge_indices = [] {
  std::array<Triple, 4> out{};
  for (std::size_t f = 0; f < 4; ++f)
    for (std::size_t k = 0; k < 3; ++k) {
      const Triple& side = face_edges[f][k];
      const std::size_t lo = side[0] < side[1] ? side[0] : side[1];
      const std::size_t hi = side[0] < side[1] ? side[1] : side[0];
      for (std::size_t e = 0; e < 6; ++e)
        if (edges[e][0] == lo && edges[e][1] == hi) out[f][k] = e;
    }
  return out;
}();

// The boundary extraction reports the faces of each element in another
// order, which fixes the row order of its result: (0, 3, 2), (0, 2, 1),
// (0, 1, 3), (1, 2, 3), i.e. faces 1, 0, 3, 2 of the table above.
inline constexpr std::array<Triple, 4> surface_faces = {faces[1], faces[0], faces[3], faces[2]};

static_assert(face_edge_indices[0] == Triple{1, 3, 0}, "face 0 runs along 0-2, 2-1, 1-0");
static_assert(surface_faces[0] == Triple{0, 3, 2} && surface_faces[3] == Triple{1, 2, 3});

}  // namespace zandrel::tet4
