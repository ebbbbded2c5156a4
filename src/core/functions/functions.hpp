#pragma once
// The module's fourteen functions as core entry points: each owns its order of
// checks and its work, from arguments the binding has converted (arrays viewed
// or copied into core types, in the order the function reads them) to the
// results the binding converts back. Arguments that a function converts only
// after some of its own checks arrive as Deferred conversions.
//
// Shapes: (N, 3) arrays arrive as Vec3 records or column triples, (E, 4)
// connectivity as Element records (or flat indices where the function reads
// them so), `rows` is an array's first dimension where the function uses it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/columns.hpp"
#include "core/functions/deferred.hpp"
#include "core/mesh/mesh.hpp"
#include "core/mesh/mesh_surface.hpp"
#include "core/simd/isa.hpp"
#include "core/solver/progress.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN
namespace functions {

// ---- fields of point sources ------------------------------------------------

// Point current elements (density src_jdensity[i] in volume src_vol[i] at
// src_pts[i]), direct sum: H at every target.
Columns h_current_point_direct(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                               const Columns& tgt_pts, std::uint32_t nthreads_requested);

// The same through the octree.
Columns h_current_point_octree(const Columns& src_pts, std::span<const double> src_vol, const Columns& src_jdensity,
                               const Columns& tgt_pts, double theta, std::uint32_t leaf_threshold,
                               std::uint32_t nthreads_requested);

// Point dipoles (magnetisation mvectors[i] in volume volumes[i] at
// centroids[i]), direct or through the octree; target_rows results. The two
// branches read their arrays in different orders.
struct PointDipoleArrays {
  Deferred<Columns> centroids;
  Deferred<std::span<const double>> volumes;
  Deferred<Columns> mvectors;
  Deferred<Columns> targets;
};
Columns h_mag_point(const PointDipoleArrays& arrays, std::size_t target_rows, double theta,
                    std::uint32_t leaf_threshold, std::uint32_t nthreads_requested, bool use_octree);

// ---- fields of tetrahedral meshes --------------------------------------------

// Elements carrying uniform current densities, from flat arrays (indices
// checked where they are used), direct sum in the face or edge formulation.
Columns h_current_tet4_direct(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                              std::span<const double> jdensity_flat, const Columns& tgts,
                              std::uint32_t nthreads_requested, bool edge);

// The same through the octree; rows = the connectivity's first dimension.
Columns h_current_tet4_octree(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::size_t rows,
                              const Deferred<std::span<const Vec3>>& jdensity, const Columns& tgt_pts, double theta,
                              std::uint32_t leaf_threshold, std::uint32_t nthreads_requested);

// Uniformly magnetised elements, direct (face or edge formulation) or through
// the octree (theta, leaf_threshold).
Columns h_mag_tet4(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::size_t rows,
                   std::span<const Vec3> mvectors, const Columns& targets, double theta, std::uint32_t leaf_threshold,
                   std::uint32_t nthreads_requested, bool use_octree, bool edge);

// ---- the magnetisation solver ------------------------------------------------

struct Magnetization {
  Columns m;  // magnetisation per element
  Columns h;  // total field at the element centroids
};
// Direct field when leaf_threshold is 0, else the octree. Progress lines go
// to `progress`; a diverging iteration throws NonFiniteMagnetization.
Magnetization magnetization_tet4(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                 std::size_t rows, double chi, const Columns& hext, double tol,
                                 std::uint32_t max_iterations, double theta, std::uint32_t leaf_threshold,
                                 double alpha, std::uint32_t nthreads_requested, bool edge,
                                 const ProgressSink& progress = {});

// ---- mesh geometry -----------------------------------------------------------

// Per element: its volume; its centroid (3 values). rows elements expected.
std::vector<double> mesh_volumes(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::size_t rows);
std::vector<double> mesh_centroids(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                   std::size_t rows);

std::vector<std::uint32_t> mesh_surface_faces(std::span<const std::uint32_t> connectivity);
FaceProperties mesh_surface_face_properties(std::span<const double> nodes, std::span<const std::uint32_t> faces);
SurfaceTets mesh_surface_tets(std::span<const double> nodes, std::span<const std::uint32_t> faces,
                              std::span<const double> centroids, std::span<const double> normals);

// ---- forces --------------------------------------------------------------------

// Maxwell-stress force per face (3 values each).
std::vector<double> mesh_surface_forces(std::span<const double> face_areas, std::span<const double> face_normals,
                                        std::span<const double> b_field);

// (M . grad) H per element; H at the nodes is read after the Jacobians.
Columns mesh_kelvin_force_density(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                  std::size_t rows, std::span<const Vec3> m_field_centroids,
                                  const Deferred<Columns>& h_field_nodes);

}  // namespace functions
ZANDREL_END
