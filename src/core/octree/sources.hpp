#pragma once
// What the octree needs of a source set, as two compile-time interfaces:
// `Sources` (count, position, moment, Morton codes, reordering) and
// `HFieldSolver` (the far field of one aggregated moment, the exact field of a
// contiguous run of sources). The adaptors DipoleSources and CurrentSources
// give a set's vectors their meaning: magnetisations (the field of magnetic
// dipoles) or current densities (the field of current elements). A set names
// the source kind of each meaning (S::DipoleKind, S::CurrentKind) and hands
// out the kernels' view of its sources (leaf_view, kernel_view); the kind
// supplies the arithmetic.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/kernels/source_kind.hpp"
#include "core/octree/bbox.hpp"
#include "core/octree/morton.hpp"
#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

// The box of a source set and one Morton code per source, in source order.
struct EncodedSources {
  const BoundingBox& bbox;
  std::vector<std::uint64_t> codes;
};

template <class S>
concept Sources = std::movable<S> && requires(S& s, const S& cs, std::size_t i,
                                             std::span<const std::size_t> indices, std::uint8_t max_depth) {
  { cs.len() } -> std::same_as<std::size_t>;
  { cs.centroid(i) } -> std::same_as<Vec3>;
  { cs.moment(i) } -> std::same_as<Vec3>;
  s.sort(indices);
  { cs.bbox() } -> std::same_as<const BoundingBox&>;
  { cs.encode(max_depth) } -> std::same_as<EncodedSources>;
};

template <class S>
concept HFieldSolver = requires(const S& cs, const Vec3& v, std::size_t i) {
  { cs.h_field_branch(v, v, v) } -> std::same_as<Vec3>;
  { cs.h_field_leaf(i, i, v) } -> std::same_as<Vec3>;
};

// One code per source from its centroid, on the set's box. The quantisation
// always uses 21 bits per axis; max_depth is carried for the interface only.
template <class S>
EncodedSources encode_centroids(const S& s, std::uint8_t /*max_depth*/) {
  const std::size_t n = s.len();
  std::vector<std::uint64_t> codes;
  codes.reserve(n);
  const BoundingBox& box = s.bbox();
  const Vec3 min_corner = box.min_corner();
  for (std::size_t i = 0; i < n; ++i) {
    if (i % checkpoint_stride == 0) checkpoint();
    codes.push_back(morton::encode(s.centroid(i), morton::scale, box.side_length, min_corner));
  }
  return {box, std::move(codes)};
}

// The Sources operations of a wrapped set, forwarded unchanged; the two
// meanings below differ only in their field kernels.
template <Sources S>
struct ForwardedSources {
  S sources;

  explicit ForwardedSources(S s) : sources(std::move(s)) {}

  std::size_t len() const { return sources.len(); }
  Vec3 centroid(std::size_t i) const { return sources.centroid(i); }
  Vec3 moment(std::size_t i) const { return sources.moment(i); }
  void sort(std::span<const std::size_t> indices) { sources.sort(indices); }
  const BoundingBox& bbox() const { return sources.bbox(); }
  EncodedSources encode(std::uint8_t max_depth) const { return sources.encode(max_depth); }
};

// A set with its meaning: leaves by the exact kernel of kind K over the set's
// sources, branches by K's far field. Both are the one-lane instances of the
// kind's lane code (the octree's vector evaluation runs the same code on
// whole vectors of targets).
template <Sources S, class K>
struct SourcesOfKind : ForwardedSources<S> {
  using Kind = K;
  explicit SourcesOfKind(S s) : ForwardedSources<S>(std::move(s)) {}

  // The field of one aggregated moment (named vj for current sources) at
  // `centroid`.
  Vec3 h_field_branch(const Vec3& centroid, const Vec3& moment, const Vec3& target) const {
    return first_lane(K::far_field(centroid, moment, Vec3Lanes<simd::V1>::set1(target)));
  }
  // The exact field of sources start .. end-1 (after sorting), summed from
  // zero in source order.
  Vec3 h_field_leaf(std::size_t start, std::size_t end, const Vec3& target) const {
    return first_lane(
        run_field<K>(this->sources.leaf_view(start, end), start, end, Vec3Lanes<simd::V1>::set1(target)));
  }
};

// Sources whose vectors are magnetisations: point dipoles or magnetised
// tetrahedra; a branch is one point dipole of the aggregated moment at the
// branch centroid (radius 0).
template <Sources S>
struct DipoleSources : SourcesOfKind<S, typename S::DipoleKind> {
  using SourcesOfKind<S, typename S::DipoleKind>::SourcesOfKind;
};

// Sources whose vectors are current densities: point current elements or
// current-carrying tetrahedra; a branch is one current element of the
// aggregated moment (sum of J V) at the branch centroid.
template <Sources S>
struct CurrentSources : SourcesOfKind<S, typename S::CurrentKind> {
  using SourcesOfKind<S, typename S::CurrentKind>::SourcesOfKind;
};

// Inherited constructors carry no deduction guides: DipoleSources(set) and
// CurrentSources(set) deduce the wrapped type through these.
template <Sources S>
DipoleSources(S) -> DipoleSources<S>;
template <Sources S>
CurrentSources(S) -> CurrentSources<S>;

ZANDREL_END
