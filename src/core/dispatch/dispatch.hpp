#pragma once
// Run-time choice of the kernel build: the widest instruction set the
// processor (and the operating system's saved vector state) supports, and the
// entry point of a kind in a build's table.
#include <cstddef>

#include "core/dispatch/kernel_table.hpp"
#include "core/kernels/kinds.hpp"

namespace zandrel {

bool isa_supported(Isa isa);
Isa best_isa();  // decided once per process
const char* isa_name(Isa isa);

// The tables one build exports (kernel_table.hpp).
struct BuildExports {
  const ErasedKernel* direct;
  const ErasedKernel* octree;
  const FastMathKernels* fastmath;
};
const BuildExports& build_exports(Isa isa);

inline const FastMathKernels& fastmath_kernels(Isa isa) { return *build_exports(isa).fastmath; }

// The direct sum of kind K (listed in DirectKinds) in the given build.
template <class K>
DirectSum<typename K::Sources> direct_kernel(Isa isa = best_isa()) {
  constexpr std::size_t slot = index_in<K>(DirectKinds{});
  return reinterpret_cast<DirectSum<typename K::Sources>>(build_exports(isa).direct[slot]);
}

// The octree evaluation of kind K (listed in OctreeKinds) in the given build.
template <class K>
OctreeSum<typename K::Sources> octree_kernel(Isa isa = best_isa()) {
  constexpr std::size_t slot = index_in<K>(OctreeKinds{});
  return reinterpret_cast<OctreeSum<typename K::Sources>>(build_exports(isa).octree[slot]);
}

}  // namespace zandrel
