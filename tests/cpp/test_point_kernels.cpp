// Point kernels: every kernel build against the portable one bit for bit, at
// every position of a target in its vector and its piece; and the physics of
// the single-source kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/direct/direct.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/kernels/point_current.hpp"
#include "core/kernels/point_dipole.hpp"

namespace zandrel {
namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

struct Cloud {
  std::vector<Vec3> centroids, mvectors;
  std::vector<double> volumes;
  Columns pts, jdensity;
};

Cloud make_cloud(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0), vol(1e-4, 1e-2);
  Cloud c;
  c.pts = Columns(n);
  c.jdensity = Columns(n);
  for (std::size_t i = 0; i < n; ++i) {
    c.centroids.push_back({u(rng), u(rng), u(rng)});
    c.mvectors.push_back({u(rng), u(rng), u(rng)});
    c.volumes.push_back(vol(rng));
    c.pts.x[i] = c.centroids[i].x, c.pts.y[i] = c.centroids[i].y, c.pts.z[i] = c.centroids[i].z;
    c.jdensity.x[i] = c.mvectors[i].x, c.jdensity.y[i] = c.mvectors[i].y, c.jdensity.z[i] = c.mvectors[i].z;
  }
  // Special cases every build must agree on: a volume 0 source (radius 0),
  // a negative volume (no current core) and a target exactly on a source.
  c.volumes[1] = 0.0;
  c.volumes[2] = -1e-3;
  return c;
}

Columns make_targets(const Cloud& c, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.2, 1.2);
  Columns t(n);
  for (std::size_t i = 0; i < n; ++i) t.x[i] = u(rng), t.y[i] = u(rng), t.z[i] = u(rng);
  // A target on a source centroid and one on the zero-volume source.
  t.x[n / 2] = c.centroids[0].x, t.y[n / 2] = c.centroids[0].y, t.z[n / 2] = c.centroids[0].z;
  t.x[n - 1] = c.centroids[1].x, t.y[n - 1] = c.centroids[1].y, t.z[n - 1] = c.centroids[1].z;
  return t;
}

void expect_identical(const Columns& a, const Columns& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(same_bits(a.x[i], b.x[i]) && same_bits(a.y[i], b.y[i]) && same_bits(a.z[i], b.z[i]))
        << "target " << i;
  }
}

TEST(PointKernels, EveryBuildMatchesPortableAtEveryTargetPosition) {
  const Cloud cloud = make_cloud(37, 11);
  const Columns all = make_targets(cloud, 29, 12);
  for (Isa isa : {Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) continue;
    // Every piece offset and length moves each target through every lane
    // and through both the full-vector loop and the padded remainder.
    for (std::size_t begin = 0; begin < 9; ++begin) {
      for (std::size_t end = begin; end <= all.size(); ++end) {
        const TargetSpan t = all.span(begin, end);
        Columns ref(end - begin), got(end - begin), cref(end - begin), cgot(end - begin);
        h_mag_point_direct(cloud.centroids, cloud.volumes, cloud.mvectors, t, ref.out(0), Isa::portable);
        h_mag_point_direct(cloud.centroids, cloud.volumes, cloud.mvectors, t, got.out(0), isa);
        h_current_point_direct(cloud.pts, cloud.volumes, cloud.jdensity, t, cref.out(0), Isa::portable);
        h_current_point_direct(cloud.pts, cloud.volumes, cloud.jdensity, t, cgot.out(0), isa);
        expect_identical(ref, got);
        expect_identical(cref, cgot);
      }
    }
  }
}

TEST(PointKernels, VectorPathEqualsScalarKernel) {
  const Cloud cloud = make_cloud(13, 5);
  const Columns t = make_targets(cloud, 11, 6);
  Columns h(t.size());
  h_mag_point_direct(cloud.centroids, cloud.volumes, cloud.mvectors, t.span(), h.out(0), best_isa());
  for (std::size_t j = 0; j < t.size(); ++j) {
    Vec3 sum;
    for (std::size_t i = 0; i < cloud.centroids.size(); ++i) {
      const double v = cloud.volumes[i];
      const Vec3 r = h_point_dipole(cloud.centroids[i], cloud.mvectors[i] * v, std::cbrt((3.0 * v) / four_pi),
                                    {t.x[j], t.y[j], t.z[j]});
      sum.x += r.x, sum.y += r.y, sum.z += r.z;
    }
    EXPECT_TRUE(same_bits(sum.x, h.x[j]) && same_bits(sum.y, h.y[j]) && same_bits(sum.z, h.z[j])) << j;
  }
}

// Ctrl-C during a long sum on the calling thread: the sum asks before each
// (4096-target sub-block, source block) unit and stops at the first unit
// after the check fires, instead of running its remaining units.
TEST(PointKernels, CancelledSumStopsAtItsNextUnit) {
  const Cloud cloud = make_cloud(1000, 25);  // 8 blocks of 128 sources
  const Columns t = make_targets(cloud, 10000, 26);  // 3 sub-blocks
  struct FiresAtFifth {
    int asked = 0;
    static bool pending(void* self) { return ++static_cast<FiresAtFifth*>(self)->asked >= 5; }
  } check;
  Columns out(t.size());
  {
    const InterruptScope scope({&FiresAtFifth::pending, &check});
    EXPECT_THROW(h_mag_point_direct(cloud.centroids, cloud.volumes, cloud.mvectors, t.span(), out.out(0), best_isa()),
                 Interrupted);
  }
  EXPECT_EQ(check.asked, 5);  // of 24 units
}

TEST(PointKernels, ParallelEqualsSerialForEveryThreadCount) {
  const Cloud cloud = make_cloud(50, 21);
  const Columns t = make_targets(cloud, 101, 22);
  Columns serial(t.size());
  h_mag_point_direct(cloud.centroids, cloud.volumes, cloud.mvectors, t.span(), serial.out(0), best_isa());
  for (std::uint32_t n : {0u, 1u, 2u, 3u, 7u, 1000u}) {
    Columns par(t.size());
    h_mag_point_direct_parallel(cloud.centroids, cloud.volumes, cloud.mvectors, t, par, n);
    expect_identical(serial, par);
  }
}

TEST(PointKernels, DipoleInsideAndOutside) {
  const Vec3 m{0.0, 0.0, 2.0};
  // Inside (and exactly on the radius): -moment / (3 * volume of the sphere).
  const Vec3 at_centre = h_point_dipole({}, m, 1.0, {});
  EXPECT_NEAR(at_centre.z, -2.0 / (4.0 * M_PI), 1e-15);
  const Vec3 on_radius = h_point_dipole({}, m, 1.0, {0.0, 0.0, 1.0});
  EXPECT_EQ(on_radius.z, at_centre.z);
  // On the axis outside: 2m / (4 pi r^3).
  const Vec3 axis = h_point_dipole({}, m, 1.0, {0.0, 0.0, 3.0});
  EXPECT_NEAR(axis.z, 2.0 * 2.0 / (4.0 * M_PI * 27.0), 1e-15);
  // Zero radius at the centroid: non-finite.
  const Vec3 singular = h_point_dipole({}, m, 0.0, {});
  EXPECT_FALSE(std::isfinite(singular.z));
}

TEST(PointKernels, CurrentElementCoreMeetsOutsideAtRadius) {
  const Vec3 vj{0.0, 0.0, 1.0};
  const Vec3 in = h_point({}, vj, 1.0, {0.999999999, 0.0, 0.0});
  const Vec3 out = h_point({}, vj, 1.0, {1.0, 0.0, 0.0});
  EXPECT_NEAR(in.y, out.y, 1e-9);
  EXPECT_NEAR(out.y, inv_4pi, 1e-16);
}

TEST(PointKernels, ShortVolumesReportFirstMissingIndex) {
  const Cloud cloud = make_cloud(5, 1);
  Columns t(1), h(1);
  const std::vector<double> short_volumes(cloud.volumes.begin(), cloud.volumes.begin() + 3);
  try {
    h_mag_point_direct_parallel(cloud.centroids, short_volumes, cloud.mvectors, t, h, 1);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "index out of bounds: the len is 3 but the index is 3");
  }
}

}  // namespace
}  // namespace zandrel
