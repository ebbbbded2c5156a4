#pragma once
// The boundary between the per-instruction-set builds and the rest of the
// core. Every *_isa.cpp is compiled three times (portable, AVX2 + FMA,
// AVX-512) and exports, per build, one table of entry points generated from
// a list of kinds (kernels/kinds.hpp); the dispatcher picks the build once
// per process. What crosses this boundary are function pointers over plain
// records (spans.hpp, kernels/source_views.hpp, octree/node.hpp), never inline
// code: a translation unit compiled for one instruction set shares nothing
// with the others but these layouts.
#include <cstddef>
#include <cstdint>

#include "core/kernels/source_views.hpp"
#include "core/octree/node.hpp"
#include "core/spans.hpp"

namespace zandrel {

enum class Isa { portable = 0, avx2 = 1, avx512 = 2 };

// An entry point with its type erased; each table slot is cast back to the
// type its kind fixes (DirectSum or OctreeSum of the kind's source view).
using ErasedKernel = void (*)();

// The field of all sources of a view at a piece of targets, added into out.
template <class Sources>
using DirectSum = void (*)(const Sources& sources, TargetSpan targets, OutSpan out);

// Barnes-Hut evaluation of a built tree over the view's sources (in sorted
// order) at targets.n targets, visited in the given order: order[0 ..
// targets.n-1] are distinct positions in the target and result columns
// (which may be longer), out[i] += H(target i).
template <class Sources>
using OctreeSum = void (*)(const OctreeView& tree, const Sources& sources, TargetSpan targets,
                           const std::uint32_t* order, OutSpan out);

// The fast arctangent and logarithm applied element-wise to arrays (the
// kernels inline them; these let every build be compared lane by lane).
struct FastMathKernels {
  void (*atan)(const double* v, double* out, std::size_t n);
  void (*atan2)(const double* y, const double* x, double* out, std::size_t n);
  void (*ln)(const double* x, double* out, std::size_t n);
};

}  // namespace zandrel

// What each build exports, declared once for every build. The direct sums
// and the octree evaluations are in the order of DirectKinds and OctreeKinds.
#define ZANDREL_DECLARE_BUILD_EXPORTS(build)               \
  namespace zandrel::build {                               \
  const ErasedKernel* direct_kernels();                    \
  const ErasedKernel* octree_kernels();                    \
  const FastMathKernels& fastmath_kernels_table();         \
  }
#define ZANDREL_FOR_EACH_BUILD(X) X(isa_portable) X(isa_avx2) X(isa_avx512)
