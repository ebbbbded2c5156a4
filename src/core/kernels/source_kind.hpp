#pragma once
// What a kind of source is to the drivers. A kind K (point dipole, point
// current element, magnetised or current-carrying tetrahedron in one of its
// formulations) is a type with static members only:
//
//   K::Sources            the plain view of many sources it reads
//                         (source_views.hpp; `n` of them)
//   K::Source             one source prepared for the target loop
//   K::prepare(s, i)      source i of the view, prepared
//   K::add_field(p, t, h) adds the field of prepared source p at lanes of
//                         targets t into the running results h (a template
//                         over the vector type W; the per-lane arithmetic is
//                         the same for every W, simd::V1 included)
//   K::sources_per_block, K::target_vectors_per_pass: the blocking the
//                         direct driver uses (no effect on results)
//   K::far_field(c, m, t) (octree kinds) the field at lanes of targets t of
//                         an aggregated moment m placed at c: an octree
//                         branch standing for many sources of the kind
//
// The one direct driver (direct/direct_sum.hpp) and the one octree walk
// (octree/walk.hpp) are templates over K.
#include <concepts>
#include <cstddef>

#include "core/simd/isa.hpp"
#include "core/simd/simd.hpp"
#include "core/simd/vec3_lanes.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

template <class K>
concept SourceKind = requires(const typename K::Sources& sources, std::size_t i, const typename K::Source& source,
                              const Vec3Lanes<simd::V1>& targets, Vec3Lanes<simd::V1>& h) {
  { sources.n } -> std::convertible_to<std::size_t>;
  { K::prepare(sources, i) } -> std::same_as<typename K::Source>;
  K::add_field(source, targets, h);
  { K::sources_per_block } -> std::convertible_to<std::size_t>;
  { K::target_vectors_per_pass } -> std::convertible_to<std::size_t>;
};

template <class K>
concept FarFieldKind = SourceKind<K> && requires(const Vec3& centroid, const Vec3& moment,
                                                 const Vec3Lanes<simd::V1>& targets) {
  { K::far_field(centroid, moment, targets) } -> std::same_as<Vec3Lanes<simd::V1>>;
};

// The field of sources first .. end-1 at lanes of targets, added in source
// order into a zero result (an octree leaf).
template <SourceKind K, class W>
inline Vec3Lanes<W> run_field(const typename K::Sources& sources, std::size_t first, std::size_t end,
                              const Vec3Lanes<W>& targets) {
  Vec3Lanes<W> h = Vec3Lanes<W>::zero();
  for (std::size_t i = first; i < end; ++i) K::add_field(K::prepare(sources, i), targets, h);
  return h;
}

// The field of one prepared source at one target (one lane, from zero).
template <SourceKind K>
inline Vec3 single_target_field(const typename K::Source& source, const Vec3& target) {
  Vec3Lanes<simd::V1> h = Vec3Lanes<simd::V1>::zero();
  K::add_field(source, Vec3Lanes<simd::V1>::set1(target), h);
  return first_lane(h);
}

ZANDREL_END
