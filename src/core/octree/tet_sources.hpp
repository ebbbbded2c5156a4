#pragma once
// Tetrahedral sources of the octree: the mesh's nodes (never reordered) and,
// per element, its four node indices, centroid, volume and source vector
// (magnetisation or current density). The per-element lists are parallel and
// are reordered together, so the node indices stay valid. Leaves are
// evaluated by the edge formulation: as dipoles (magnetisations) the
// magnetised tetrahedron, as currents the current-carrying one.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/kernels/current_tet4.hpp"
#include "core/kernels/magnetised_tet4.hpp"
#include "core/kernels/source_views.hpp"
#include "core/mesh/mesh.hpp"
#include "core/octree/bbox.hpp"
#include "core/octree/sources.hpp"
#include "core/simd/isa.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

struct TetSources {
  using DipoleKind = MagnetisedTet4Edge;
  using CurrentKind = CurrentTet4Edge;

  std::vector<Vec3> nodes;
  std::vector<Element> connectivity;
  std::vector<Vec3> centroids;
  std::vector<double> volumes;
  std::vector<Vec3> source_vectors;
  BoundingBox bounding_box;  // box of the centroids

  // Copies of the five lists; no consistency check between their lengths (a
  // mismatch aborts at the first access out of range). No elements abort the
  // call.
  TetSources(std::span<const Vec3> nodes, std::span<const Element> connectivity, std::span<const Vec3> centroids,
             std::span<const double> volumes, std::span<const Vec3> source_vectors);

  std::size_t len() const { return volumes.size(); }
  Vec3 centroid(std::size_t i) const { return at(centroids, i); }
  // The element's moment: source vector times volume.
  Vec3 moment(std::size_t i) const { return at(source_vectors, i) * at(volumes, i); }
  void sort(std::span<const std::size_t> indices);
  const BoundingBox& bbox() const { return bounding_box; }
  EncodedSources encode(std::uint8_t max_depth) const { return encode_centroids(*this, max_depth); }

  // The kernels' view of elements start .. end-1, every access its kernels
  // make checked first, element by element in the order they make them: the
  // element's node indices a, b, c, d, then its vector. Or of all elements.
  Tet4Mesh leaf_view(std::size_t start, std::size_t end) const;
  Tet4Mesh kernel_view() const { return leaf_view(0, len()); }
};

ZANDREL_END
