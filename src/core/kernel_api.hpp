#pragma once
// The boundary between the per-instruction-set kernel builds and the rest of
// the core: plain records of pointers and lengths, no inline code, so that a
// translation unit compiled for one instruction set shares nothing with the
// others but these layouts.
#include <cstddef>

namespace zandrel {

enum class Isa { portable = 0, avx2 = 1, avx512 = 2 };

// One piece of targets as three coordinate columns, and the three result
// columns the kernels add into.
struct TargetSpan {
  const double* x;
  const double* y;
  const double* z;
  std::size_t n;
};
struct OutSpan {
  double* x;
  double* y;
  double* z;
};

// Point dipoles with every per-source quantity of the target loop prepared
// once per call: position, moment (M*V), equivalent radius and the uniform
// field inside the equivalent sphere.
struct DipoleColumns {
  const double *cx, *cy, *cz;
  const double *mx, *my, *mz;
  const double* radius;
  const double *ix, *iy, *iz;
  std::size_t n;
};

// Point current elements: position, current density, k = V/(4 pi) and the
// cubed equivalent radius a^3 (NaN for a negative volume: no core).
struct CurrentColumns {
  const double *sx, *sy, *sz;
  const double *jx, *jy, *jz;
  const double* k;
  const double* a3;
  std::size_t n;
};

struct PointKernels {
  void (*h_mag_point)(const DipoleColumns& sources, TargetSpan targets, OutSpan out);
  void (*h_current_point)(const CurrentColumns& sources, TargetSpan targets, OutSpan out);
};

}  // namespace zandrel

// Each *_isa.cpp defines its table getter once per instruction set; these
// declarations let the dispatcher name all three builds.
#define ZANDREL_DECLARE_ISA_TABLE(Type, getter)      \
  namespace zandrel {                                \
  namespace isa_portable { const Type& getter(); }   \
  namespace isa_avx2 { const Type& getter(); }       \
  namespace isa_avx512 { const Type& getter(); }     \
  }
