#pragma once
// Run-time choice of the kernel build: the widest instruction set the
// processor (and the operating system's saved vector state) supports.
#include "core/dispatch/kernel_api.hpp"

namespace zandrel {

bool isa_supported(Isa isa);
Isa best_isa();  // decided once per process
const char* isa_name(Isa isa);

const PointKernels& point_kernels(Isa isa);
inline const PointKernels& point_kernels() { return point_kernels(best_isa()); }

const FastMathKernels& fastmath_kernels(Isa isa);
const Tet4Kernels& tet4_kernels(Isa isa);
inline const Tet4Kernels& tet4_kernels() { return tet4_kernels(best_isa()); }

const OctreeKernels& octree_kernels(Isa isa);
inline const OctreeKernels& octree_kernels() { return octree_kernels(best_isa()); }

// Picks one of three tables by instruction set.
template <class T>
const T& table_for(Isa isa, const T& portable, const T& avx2, const T& avx512) {
  switch (isa) {
    case Isa::avx512: return avx512;
    case Isa::avx2: return avx2;
    default: return portable;
  }
}

}  // namespace zandrel
