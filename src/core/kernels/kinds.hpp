#pragma once
// The kinds of source every instruction-set build instantiates, as two lists:
// the direct sums and the octree evaluations. The dispatch tables are
// generated from these lists (one entry per kind, in list order), so adding
// a kind to a list is all it takes to build, export and dispatch it.
#include <cstddef>
#include <type_traits>

#include "core/kernels/current_tet4.hpp"
#include "core/kernels/magnetised_tet4.hpp"
#include "core/kernels/point_current.hpp"
#include "core/kernels/point_dipole.hpp"
#include "core/kernels/source_kind.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/math_policy.hpp"

ZANDREL_BEGIN

template <class... K>
struct KindList {
  static constexpr std::size_t size = sizeof...(K);
};

using DirectKinds = KindList<PointDipole, PointCurrentElement<FusedArithmetic>, MagnetisedTet4Face<FastMath>,
                             MagnetisedTet4Face<ExactMath>, MagnetisedTet4Edge, CurrentTet4Face<FastMath>,
                             CurrentTet4Face<ExactMath>, CurrentTet4Edge>;

// Leaves by the kind's kernel, branches by its far field.
using OctreeKinds = KindList<PointDipole, PointCurrentElement<SeparateArithmetic>, MagnetisedTet4Edge, CurrentTet4Edge>;

// Position of K in a list (a compile-time error if it is not listed).
template <class K, class... L>
constexpr std::size_t index_in(KindList<L...>) {
  constexpr bool found[] = {std::is_same_v<K, L>...};
  for (std::size_t i = 0; i < sizeof...(L); ++i)
    if (found[i]) return i;
  throw "kind not in the list";
}

ZANDREL_END
