#pragma once
// Direct summations over all sources, parallel over pieces of the targets.
// Every source is validated before any work starts, so a bad input aborts
// the call with the message of its first bad access and no partial result.
#include <cstdint>
#include <span>

#include "core/columns.hpp"
#include "core/dispatch/kernel_table.hpp"
#include "core/mesh/mesh.hpp"
#include "core/spans.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// Field of all point dipoles (magnetisation mvectors[i] in volume volumes[i]
// at centroids[i]) added into out at every target.
void h_mag_point_direct_parallel(std::span<const Vec3> centroids, std::span<const double> volumes,
                                 std::span<const Vec3> mvectors, const Columns& targets, Columns& out,
                                 std::uint32_t nthreads_requested);

// Field of all point current elements (density src_jdensity[i] in volume
// src_vol[i] at src_pts[i]) added into out at every target.
void h_current_point_direct_parallel(const Columns& src_pts, std::span<const double> src_vol,
                                     const Columns& src_jdensity, const Columns& tgt_pts, Columns& out,
                                     std::uint32_t nthreads_requested);

// Serial sums over one target span with a chosen kernel build (tests and
// benchmarks compare the builds through these).
void h_mag_point_direct(std::span<const Vec3> centroids, std::span<const double> volumes,
                        std::span<const Vec3> mvectors, TargetSpan targets, OutSpan out, Isa isa);
void h_current_point_direct(const Columns& src_pts, std::span<const double> src_vol,
                            const Columns& src_jdensity, TargetSpan targets, OutSpan out, Isa isa);

// Field of a uniformly magnetised tetrahedral mesh (mvectors[e] in element
// e) added into out at every target, face formulation or, with edge, the
// edge-integral formulation. A node index >= nodes.size() or fewer mvectors
// than elements aborts the call before any work (only when there are targets).
void h_mag_tet4_direct_parallel(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                std::span<const Vec3> mvectors, const Columns& targets, Columns& out,
                                std::uint32_t nthreads_requested, bool edge);

// The current-carrying mesh's sum (despite its name, which does not say so):
// the field of a tetrahedral mesh carrying uniform current densities, from
// flat arrays: node i at nodes_flat[3i .. 3i+2], element e at
// connectivity_flat[4e .. 4e+3] (an incomplete trailing group is ignored),
// its density at jdensity_flat[3e .. 3e+2]. Every position is checked before
// any work, in the order the element loop reads them.
void h_field_tet4_direct_parallel(std::span<const double> nodes_flat,
                                  std::span<const std::uint32_t> connectivity_flat,
                                  std::span<const double> jdensity_flat, const Columns& tgt_pts, Columns& out,
                                  std::uint32_t nthreads_requested, bool edge);

// Serial sums over one target span with a chosen kernel build.
void h_mag_tet4_direct(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                       std::span<const Vec3> mvectors, TargetSpan targets, OutSpan out, bool edge, Isa isa);
void h_current_tet4_direct(std::span<const double> nodes_flat, std::span<const std::uint32_t> connectivity_flat,
                           std::span<const double> jdensity_flat, TargetSpan targets, OutSpan out, bool edge,
                           Isa isa);

ZANDREL_END
