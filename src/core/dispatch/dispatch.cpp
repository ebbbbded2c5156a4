#include "core/dispatch/dispatch.hpp"

ZANDREL_DECLARE_ISA_TABLE(PointKernels, point_kernels_table)
ZANDREL_DECLARE_ISA_TABLE(FastMathKernels, fastmath_kernels_table)
ZANDREL_DECLARE_ISA_TABLE(Tet4Kernels, tet4_kernels_table)
ZANDREL_DECLARE_ISA_TABLE(OctreeKernels, octree_kernels_table)

namespace zandrel {

bool isa_supported(Isa isa) {
  switch (isa) {
    case Isa::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    default:
      return true;
  }
}

Isa best_isa() {
  static const Isa best = isa_supported(Isa::avx512) ? Isa::avx512
                          : isa_supported(Isa::avx2) ? Isa::avx2
                                                     : Isa::portable;
  return best;
}

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::avx512: return "avx512";
    case Isa::avx2: return "avx2";
    default: return "portable";
  }
}

const PointKernels& point_kernels(Isa isa) {
  return table_for(isa, isa_portable::point_kernels_table(), isa_avx2::point_kernels_table(),
                   isa_avx512::point_kernels_table());
}

const FastMathKernels& fastmath_kernels(Isa isa) {
  return table_for(isa, isa_portable::fastmath_kernels_table(), isa_avx2::fastmath_kernels_table(),
                   isa_avx512::fastmath_kernels_table());
}

const Tet4Kernels& tet4_kernels(Isa isa) {
  return table_for(isa, isa_portable::tet4_kernels_table(), isa_avx2::tet4_kernels_table(),
                   isa_avx512::tet4_kernels_table());
}

const OctreeKernels& octree_kernels(Isa isa) {
  return table_for(isa, isa_portable::octree_kernels_table(), isa_avx2::octree_kernels_table(),
                   isa_avx512::octree_kernels_table());
}

}  // namespace zandrel
