#include "core/dispatch/dispatch.hpp"

ZANDREL_FOR_EACH_BUILD(ZANDREL_DECLARE_BUILD_EXPORTS)

namespace zandrel {

#if defined(ZANDREL_PORTABLE_ONLY)
// Not an x86 processor: the portable kernels are the only build.
bool isa_supported(Isa isa) { return isa == Isa::portable; }
#else
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
#endif

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

const BuildExports& build_exports(Isa isa) {
  // Only the build asked for is touched, so a build the processor cannot run
  // is never entered.
#define ZANDREL_EXPORTS_OF(build) \
  BuildExports { build::direct_kernels(), build::octree_kernels(), &build::fastmath_kernels_table() }
  switch (isa) {
#if !defined(ZANDREL_PORTABLE_ONLY)
    case Isa::avx512: {
      static const BuildExports exports = ZANDREL_EXPORTS_OF(isa_avx512);
      return exports;
    }
    case Isa::avx2: {
      static const BuildExports exports = ZANDREL_EXPORTS_OF(isa_avx2);
      return exports;
    }
#endif
    default: {
      static const BuildExports exports = ZANDREL_EXPORTS_OF(isa_portable);
      return exports;
    }
  }
#undef ZANDREL_EXPORTS_OF
}

}  // namespace zandrel
