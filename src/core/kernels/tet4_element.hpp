#pragma once
// Element e of a validated tetrahedral mesh view: its four node positions in
// local order and its source vector (magnetisation or current density). The
// one reader every tetrahedral kind prepares its elements with, and what the
// four tetrahedral kinds share.
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/kernels/source_views.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

inline Vec3 read_vec3(const double* p) { return {p[0], p[1], p[2]}; }

inline std::array<Vec3, 4> element_nodes(const Tet4Mesh& mesh, std::size_t e) {
  const std::uint32_t* idx = mesh.elements + 4 * e;
  return {read_vec3(mesh.nodes + 3 * std::size_t{idx[0]}), read_vec3(mesh.nodes + 3 * std::size_t{idx[1]}),
          read_vec3(mesh.nodes + 3 * std::size_t{idx[2]}), read_vec3(mesh.nodes + 3 * std::size_t{idx[3]})};
}

inline Vec3 element_vector(const Tet4Mesh& mesh, std::size_t e) { return read_vec3(mesh.vectors + 3 * e); }

// A tetrahedral source kind: the sources are the elements of a mesh view,
// each prepared from its nodes and vector by prepare_element.
template <class Prepared, Prepared (*prepare_element)(const std::array<Vec3, 4>& nodes, const Vec3& vector)>
struct Tet4Kind {
  using Source = Prepared;
  using Sources = Tet4Mesh;
  // A prepared element is about a kilobyte: a block stays in the first-level
  // cache while the target vectors run through it.
  static constexpr std::size_t sources_per_block = 16;
  static constexpr std::size_t target_vectors_per_pass = 1;

  static Source prepare(const Tet4Mesh& mesh, std::size_t e) {
    return prepare_element(element_nodes(mesh, e), element_vector(mesh, e));
  }
};

ZANDREL_END
