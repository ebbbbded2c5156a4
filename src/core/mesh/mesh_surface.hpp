#pragma once
// The boundary of a tetrahedral mesh: its triangles, their areas, centroids
// and unit normals, and one small tetrahedron straddling each triangle.
// Arrays are flat: nodes and vectors three doubles per entry, elements four
// node indices, faces three node indices.
#include <cstdint>
#include <span>
#include <vector>

#include "core/simd/isa.hpp"

ZANDREL_BEGIN

// Boundary triangles of flat connectivity (flat length / 4 elements; one to
// three trailing indices are ignored), three indices per face. A face is
// kept when it occurs an odd number of times (faces are equal when their
// sorted indices are): an interior face shared by two elements disappears,
// a face seen once keeps its element's vertex order, a face seen three times
// the order of its third occurrence.
//
// Row order is deterministic: occurrence k is face k % 4 of element k / 4 in
// the order tet4::surface_faces gives, (t0, t3, t2), (t0, t2, t1),
// (t0, t1, t3), (t1, t2, t3), whose right-hand normals point out of a
// positively oriented element,
// and every kept face stands at the occurrence whose vertex order it keeps,
// in increasing occurrence order. Node indices are never checked.
std::vector<std::uint32_t> surface_faces(std::span<const std::uint32_t> connectivity);

// surface_faces with the occurrence positions held as Pos (std::uint32_t or
// std::uint64_t): the narrow type keeps the hash table small and is chosen
// whenever every position fits; both give the same faces.
template <class Pos>
std::vector<std::uint32_t> surface_faces_with(std::span<const std::uint32_t> connectivity);

struct FaceProperties {
  std::vector<double> areas;      // F values
  std::vector<double> centroids;  // 3F values
  std::vector<double> normals;    // 3F values, unit length
};

// Area, centroid and unit right-hand normal of every face (F = flat length /
// 3; one or two trailing indices are ignored). Node reads are checked against
// the flat node array. Collinear corners give area 0 and a NaN normal.
FaceProperties surface_face_properties(std::span<const double> nodes, std::span<const std::uint32_t> surface_faces);

struct SurfaceTets {
  std::vector<double> nodes;                // 12F values: four new nodes per face
  std::vector<std::uint32_t> connectivity;  // 4F values: (4k, 4k+1, 4k+2, 4k+3)
};

// For face k: a regular tetrahedron of edge 2h, h = 1% of the distance from
// the centroid c to the face's first corner, centred on c, two nodes on the
// side the normal points to and two on the other, positively oriented when
// the normal is a unit normal of the face. Normals are used as given. A
// first corner on the centroid gives NaN coordinates. Every read is checked
// against its flat array.
SurfaceTets surface_tets(std::span<const double> nodes, std::span<const std::uint32_t> faces,
                         std::span<const double> centroids, std::span<const double> normals);

ZANDREL_END
