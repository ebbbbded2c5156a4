#pragma once
// One tetrahedron's field added into a span of targets (never clearing the
// output): the direct driver over a mesh of that one element. The kernels of
// the face formulation (h_mag_tet4: magnetised; h_current_tet4: current-
// carrying) and of the edge formulation, for callers and tests that hold a
// single element.
#include <array>
#include <cstdint>

#include "core/direct/direct_sum.hpp"
#include "core/kernels/current_tet4.hpp"
#include "core/kernels/magnetised_tet4.hpp"
#include "core/kernels/source_views.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/math_policy.hpp"
#include "core/spans.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

template <class K, class W>
inline void single_element_sum(const std::array<Vec3, 4>& nodes, const Vec3& vector, TargetSpan targets,
                               OutSpan out) {
  static_assert(sizeof(Vec3) == 3 * sizeof(double), "Vec3 records are read as flat doubles");
  static constexpr std::uint32_t local_nodes[4] = {0, 1, 2, 3};
  const Tet4Mesh mesh{reinterpret_cast<const double*>(nodes.data()), local_nodes,
                      reinterpret_cast<const double*>(&vector), 1};
  direct_sum<K, W>(mesh, targets, out);
}

template <class W>
inline void h_mag_tet4(const std::array<Vec3, 4>& nodes, const Vec3& mvector, TargetSpan targets, OutSpan out) {
  single_element_sum<MagnetisedTet4Face<FastMath>, W>(nodes, mvector, targets, out);
}
template <class W>
inline void h_current_tet4(const std::array<Vec3, 4>& nodes, const Vec3& jdensity, TargetSpan targets, OutSpan out) {
  single_element_sum<CurrentTet4Face<FastMath>, W>(nodes, jdensity, targets, out);
}
template <class W>
inline void h_mag_tet4_edge(const std::array<Vec3, 4>& nodes, const Vec3& mvector, TargetSpan targets,
                            OutSpan out) {
  single_element_sum<MagnetisedTet4Edge, W>(nodes, mvector, targets, out);
}
template <class W>
inline void h_current_tet4_edge(const std::array<Vec3, 4>& nodes, const Vec3& jdensity, TargetSpan targets,
                                OutSpan out) {
  single_element_sum<CurrentTet4Edge, W>(nodes, jdensity, targets, out);
}

ZANDREL_END
