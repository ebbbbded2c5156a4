#pragma once
// The boundary between the per-instruction-set kernel builds and the rest of
// the core: plain records of pointers and lengths, no inline code, so that a
// translation unit compiled for one instruction set shares nothing with the
// others but these layouts.
#include <cstddef>
#include <cstdint>

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

// The fast arctangent and logarithm applied element-wise to arrays (the
// kernels inline them; these let every build be compared lane by lane).
struct FastMathKernels {
  void (*atan)(const double* v, double* out, std::size_t n);
  void (*atan2)(const double* y, const double* x, double* out, std::size_t n);
  void (*ln)(const double* x, double* out, std::size_t n);
};

// A tetrahedral mesh with every index already validated: node i at
// nodes[3i .. 3i+2], element e's node indices at elements[4e .. 4e+3], its
// magnetisation or current density at vectors[3e .. 3e+2].
struct Tet4Mesh {
  const double* nodes;
  const std::uint32_t* elements;
  const double* vectors;
  std::size_t n;
};

// Scratch of the edge formulation: sequences of (x, y, z) records, one per
// target of the piece (three for the magnetic tensor, the first alone for
// the current).
struct Tet4Workspace {
  double* w0;
  double* w1;
  double* w2;
};

// Sums over all elements (in element order) into one piece of targets.
struct Tet4Kernels {
  void (*h_mag_tet4)(const Tet4Mesh& mesh, TargetSpan targets, OutSpan out);
  void (*h_mag_tet4_edge)(const Tet4Mesh& mesh, TargetSpan targets, Tet4Workspace workspace, OutSpan out);
  void (*h_current_tet4)(const Tet4Mesh& mesh, TargetSpan targets, OutSpan out);
  void (*h_current_tet4_edge)(const Tet4Mesh& mesh, TargetSpan targets, Tet4Workspace workspace, OutSpan out);
};

// One octree node as stored, in pre-order (core/octree/octree.hpp): a branch
// carrying the aggregated moment and moment-weighted centroid of its subtree,
// or a leaf holding sources first .. end-1 of the sorted set. A branch's first
// child is the next node; subtree_end is one past its last descendant.
struct OctreeNode {
  double cx, cy, cz;
  double mx, my, mz;
  std::uint32_t first, end, subtree_end;
  std::uint8_t level, is_leaf;
};

// What the evaluation kernels read of a built octree: the nodes, the cube
// edge of every level and the opening parameter.
struct OctreeView {
  const OctreeNode* nodes;
  const double* sizes;
  double theta;
};

// Point sources of an octree in sorted order: positions, equivalent radii
// and moments (volume times source vector).
struct PointSourceColumns {
  const double *x, *y, *z;
  const double* r;
  const double *vjx, *vjy, *vjz;
};

// Octree evaluation at a piece of targets, visited several at a time in the
// given order (a permutation of 0 .. targets.n-1): out[i] += H(target i).
// Tetrahedral sources come as a validated Tet4Mesh in sorted element order.
struct OctreeKernels {
  void (*h_dipole_points)(const OctreeView& tree, const PointSourceColumns& sources, TargetSpan targets,
                          const std::uint32_t* order, OutSpan out);
  void (*h_current_points)(const OctreeView& tree, const PointSourceColumns& sources, TargetSpan targets,
                           const std::uint32_t* order, OutSpan out);
  void (*h_dipole_tet4)(const OctreeView& tree, const Tet4Mesh& sources, TargetSpan targets,
                        const std::uint32_t* order, OutSpan out);
  void (*h_current_tet4)(const OctreeView& tree, const Tet4Mesh& sources, TargetSpan targets,
                         const std::uint32_t* order, OutSpan out);
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
