#pragma once
// The source data the kernels read, as plain records of pointers and counts:
// they cross the boundary between the per-instruction-set builds, so they
// carry no inline code. Every index a view's user will follow has been
// checked when the view was made; the kernels read without checks.
#include <cstddef>
#include <cstdint>

namespace zandrel {

// Point sources: position (x, y, z), the radius of the sphere of the
// source's volume, and its vector (vx, vy, vz): the moment M V of a dipole or
// the current element J V. Entry i of every column belongs to source i.
struct PointColumns {
  const double *x, *y, *z;
  const double* radius;
  const double *vx, *vy, *vz;
  std::size_t n;
};

// Point current elements of the direct sum, which keeps the current density
// J and the volume apart: position, J, k = V/(4 pi) and the cube of the
// equivalent radius (NaN for a negative volume: no core).
struct CurrentColumns {
  const double *x, *y, *z;
  const double *jx, *jy, *jz;
  const double* k;
  const double* core_cube;
  std::size_t n;
};

// A tetrahedral mesh: node i at nodes[3i .. 3i+2], element e's node indices
// at elements[4e .. 4e+3], its magnetisation or current density at
// vectors[3e .. 3e+2]; n elements.
struct Tet4Mesh {
  const double* nodes;
  const std::uint32_t* elements;
  const double* vectors;
  std::size_t n;
};

}  // namespace zandrel
