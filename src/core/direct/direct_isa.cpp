// The direct sum of every kind in DirectKinds, instantiated for this
// instruction-set build, in list order.
#include "core/direct/direct_sum.hpp"
#include "core/dispatch/build_table.hpp"
#include "core/kernels/kinds.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN

template <class... K>
static const ErasedKernel* direct_table(KindList<K...>) {
  return erased_table<&direct_sum<K, simd::V>...>();
}

const ErasedKernel* direct_kernels() { return direct_table(DirectKinds{}); }

ZANDREL_END
