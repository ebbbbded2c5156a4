// The kinds of source: every listed kind satisfies the concept the drivers
// are written against (checked at compile time), and the face kernels'
// exact-math instance is the exact closed form where the fast functions'
// absolute error swamps the field: far from the element.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

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

}  // namespace
}  // namespace zandrel
