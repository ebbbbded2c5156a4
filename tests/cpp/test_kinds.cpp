// The kinds of source: every listed kind satisfies the concept the drivers
// are written against (checked at compile time), and the face kernels'
// exact-math instance is the exact closed form where the fast functions'
// absolute error swamps the field: far from the element. Both instances of
// the face kernels are one template, with the same treatment of targets in
// the plane of a face and the same length unit.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/dispatch/dispatch.hpp"
#include "core/kernels/kinds.hpp"
#include "core/kernels/point_current.hpp"
#include "core/kernels/point_dipole.hpp"

namespace zandrel {
namespace {

template <class... K>
constexpr bool all_source_kinds(KindList<K...>) {
  return (SourceKind<K> && ...);
}
template <class... K>
constexpr bool all_far_field_kinds(KindList<K...>) {
  return (FarFieldKind<K> && ...);
}
static_assert(all_source_kinds(DirectKinds{}), "every direct kind is a SourceKind");
static_assert(all_far_field_kinds(OctreeKinds{}), "every octree kind has a far field");

const double s2 = 1.0 / std::sqrt(2.0);
// Positively oriented regular tetrahedron of edge length 2, centroid at 0.
const std::array<Vec3, 4> regular = {Vec3{-1.0, 0.0, -s2}, Vec3{1.0, 0.0, -s2}, Vec3{0.0, 1.0, s2},
                                     Vec3{0.0, -1.0, s2}};
const double volume = 8.0 / (6.0 * std::sqrt(2.0));

// The field of one element at one target through the dispatched direct sum
// of kind K in every build.
template <class K>
Vec3 element_field(const Vec3& vector, const Vec3& target, Isa isa) {
  static constexpr std::uint32_t local[4] = {0, 1, 2, 3};
  const Tet4Mesh mesh{&regular[0].x, local, &vector.x, 1};
  double hx = 0.0, hy = 0.0, hz = 0.0;
  direct_kernel<K>(isa)(mesh, {&target.x, &target.y, &target.z, 1}, {&hx, &hy, &hz});
  return {hx, hy, hz};
}

double relative_error(const Vec3& got, const Vec3& want) { return mag(got - want) / mag(want); }

TEST(Kinds, ExactMathFaceKernelsMatchTheFarFieldWhereFastMathCannot) {
  const Vec3 v{0.3, -0.2, 1.0};
  // A thousand edge lengths away the element's field is that of its moment
  // to about (size / distance)^2 (measured 1.1e-6 magnetised, 2.8e-6
  // current); it is some 1e-6 of the face terms that cancel into it, so the
  // fast arctangent's absolute error leaves it 3 % off.
  const Vec3 target{1200.0, -900.0, 1500.0};
  const Vec3 dipole = h_point_dipole({}, v * volume, 0.0, target);
  const Vec3 element = h_point({}, v * volume, 0.0, target);
  for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) continue;
    EXPECT_LT(relative_error(element_field<MagnetisedTet4Face<ExactMath>>(v, target, isa), dipole), 1e-5);
    EXPECT_LT(relative_error(element_field<CurrentTet4Face<ExactMath>>(v, target, isa), element), 1e-5);
    EXPECT_GT(relative_error(element_field<MagnetisedTet4Face<FastMath>>(v, target, isa), dipole), 1e-2);
  }
  // Near the element both instances agree to the fast functions' accuracy.
  const Vec3 near{0.1, 0.2, 0.05};
  const Vec3 exact = element_field<MagnetisedTet4Face<ExactMath>>(v, near, best_isa());
  EXPECT_LT(relative_error(element_field<MagnetisedTet4Face<FastMath>>(v, near, best_isa()), exact), 1e-5);
  EXPECT_NEAR(exact.x, -0.161585, 1e-6);
  EXPECT_NEAR(exact.z, -0.380753, 1e-6);
}

// Two elements sharing a face: the regular one and its mirror image through
// its face (1, 2, 3), uniformly magnetised (or carrying J) alike, scaled by s.
struct TwoElements {
  std::vector<double> nodes;
  std::vector<std::uint32_t> elements = {0, 1, 2, 3, 4, 1, 3, 2};
  std::vector<double> vectors;
  explicit TwoElements(double s, const Vec3& v) {
    const Vec3 normal = cross(regular[2] - regular[1], regular[3] - regular[1]);
    const Vec3 n = normal / mag(normal);
    const Vec3 mirrored = regular[0] - n * (2.0 * dot(regular[0] - regular[1], n));
    for (const Vec3& p : {regular[0], regular[1], regular[2], regular[3], mirrored})
      for (double c : {p.x, p.y, p.z}) nodes.push_back(c * s);
    for (int e = 0; e < 2; ++e) vectors.insert(vectors.end(), {v.x, v.y, v.z});
  }
  template <class K>
  Vec3 field(const Vec3& target, Isa isa) const {
    const Tet4Mesh mesh{nodes.data(), elements.data(), vectors.data(), 2};
    double hx = 0.0, hy = 0.0, hz = 0.0;
    direct_kernel<K>(isa)(mesh, {&target.x, &target.y, &target.z, 1}, {&hx, &hy, &hz});
    return {hx, hy, hz};
  }
};

// Targets placed on the shared face by rounded arithmetic get the field just
// beside it (continuous there: the two elements' charges on it cancel), and
// scaling the elements and targets by a power of two changes nothing
// (magnetised) or scales the field with it (current), in both instances.
template <template <class> class Face, class Math>
void expect_shared_face_continuous_and_scale_free(bool grows_with_length) {
  const Vec3 v{0.3, -0.2, 1.0};
  const Vec3 nudge = Vec3{0.3, 0.5, 0.8} * 1e-9;
  const TwoElements unit(1.0, v);
  for (const Vec3& w : {Vec3{1.0, 1.0, 1.0} / 3.0, Vec3{0.2, 0.3, 0.5}, Vec3{0.6, 0.15, 0.25}}) {
    const Vec3 on = (regular[1] * w.x + regular[2] * w.y) + regular[3] * w.z;
    const Vec3 here = unit.field<Face<Math>>(on, best_isa());
    EXPECT_LT(mag(here - unit.field<Face<Math>>(on + nudge, best_isa())), 1e-6) << on.x << " " << on.y;
    for (const double s : {0x1p-50, 0x1p40}) {
      const double factor = grows_with_length ? s : 1.0;
      const Vec3 scaled = TwoElements(s, v).field<Face<Math>>(on * s, best_isa());
      EXPECT_EQ(scaled.x, here.x * factor);
      EXPECT_EQ(scaled.y, here.y * factor);
      EXPECT_EQ(scaled.z, here.z * factor);
    }
  }
}

TEST(Kinds, BothFaceInstancesAreContinuousOnASharedFaceAndScaleFree) {
  expect_shared_face_continuous_and_scale_free<MagnetisedTet4Face, FastMath>(false);
  expect_shared_face_continuous_and_scale_free<MagnetisedTet4Face, ExactMath>(false);
  expect_shared_face_continuous_and_scale_free<CurrentTet4Face, FastMath>(true);
  expect_shared_face_continuous_and_scale_free<CurrentTet4Face, ExactMath>(true);
}

}  // namespace
}  // namespace zandrel
