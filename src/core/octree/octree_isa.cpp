// The Barnes-Hut evaluation of every kind in OctreeKinds, instantiated for
// this instruction-set build, in list order.
#include "core/dispatch/build_table.hpp"
#include "core/kernels/kinds.hpp"
#include "core/octree/walk.hpp"
#include "core/simd/simd.hpp"

ZANDREL_BEGIN

template <class... K>
static const ErasedKernel* octree_table(KindList<K...>) {
  return erased_table<&octree_sum<K, simd::V>...>();
}

const ErasedKernel* octree_kernels() { return octree_table(OctreeKinds{}); }

ZANDREL_END
