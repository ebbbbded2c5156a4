// Boundary extraction against an independent ordered-map reference, the
// deterministic row order, face properties and surface tetrahedra to the bit
// where the values are known, and the bounds checks of every node read.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.hpp"
#include "core/errors.hpp"
#include "core/mesh/mesh.hpp"
#include "core/mesh/mesh_surface.hpp"

namespace zandrel {
namespace {

using testing::panic_message;

using Faces = std::vector<std::uint32_t>;

// Reference: count every sorted face with an ordered map, remember the last
// occurrence, keep the odd ones sorted by that occurrence.
Faces reference_surface(const std::vector<std::uint32_t>& conn) {
  const int corners[4][3] = {{0, 3, 2}, {0, 2, 1}, {0, 1, 3}, {1, 2, 3}};
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::pair<int, std::size_t>> seen;
  for (std::size_t e = 0; e < conn.size() / 4; ++e) {
    for (int f = 0; f < 4; ++f) {
      std::uint32_t v[3] = {conn[4 * e + corners[f][0]], conn[4 * e + corners[f][1]], conn[4 * e + corners[f][2]]};
      std::sort(v, v + 3);
      auto& entry = seen[{v[0], v[1], v[2]}];
      entry.first += 1;
      entry.second = 4 * e + f;
    }
  }
  std::map<std::size_t, int> kept;  // position -> face slot
  for (const auto& [key, entry] : seen)
    if (entry.first % 2 == 1) kept[entry.second] = 0;
  Faces out;
  for (const auto& [pos, unused] : kept) {
    const std::size_t e = pos / 4;
    for (int k = 0; k < 3; ++k) out.push_back(conn[4 * e + corners[pos % 4][k]]);
  }
  return out;
}

TEST(SurfaceFaces, SingleTetrahedronGivesItsFourFacesInOrder) {
  EXPECT_EQ(surface_faces(std::vector<std::uint32_t>{0, 1, 2, 3}), (Faces{0, 3, 2, 0, 2, 1, 0, 1, 3, 1, 2, 3}));
  EXPECT_EQ(surface_faces(std::vector<std::uint32_t>{7, 4, 9, 5}), (Faces{7, 5, 9, 7, 9, 4, 7, 4, 5, 4, 9, 5}));
}

TEST(SurfaceFaces, SharedFaceDisappearsWhateverItsVertexOrders) {
  // Element 1 shares (1, 2, 3) with element 0, listed in another order.
  const std::vector<std::uint32_t> conn = {0, 1, 2, 3, 3, 2, 4, 1};
  // Element 1 = (t0, t1, t2, t3) = (3, 2, 4, 1): faces (3,1,4), (3,4,2), (3,2,1), (2,4,1).
  EXPECT_EQ(surface_faces(conn), (Faces{0, 3, 2, 0, 2, 1, 0, 1, 3, 3, 1, 4, 3, 4, 2, 2, 4, 1}));
}

TEST(SurfaceFaces, RepeatedElementsAndEmptyInput) {
  EXPECT_TRUE(surface_faces(std::vector<std::uint32_t>{0, 1, 2, 3, 0, 1, 2, 3}).empty());
  EXPECT_TRUE(surface_faces(std::vector<std::uint32_t>{0, 1, 2, 3, 3, 2, 1, 0}).empty());
  EXPECT_TRUE(surface_faces(std::vector<std::uint32_t>{}).empty());
  EXPECT_TRUE(surface_faces(std::vector<std::uint32_t>{0, 1, 2}).empty());
}

TEST(SurfaceFaces, FaceSeenThreeTimesKeepsTheThirdOccurrence) {
  // Face {0, 1, 2} occurs as face 1 of elements 0, 1 and 2 with different
  // vertex orders; it stays once, in element 2's order, at element 2's place.
  const std::vector<std::uint32_t> conn = {0, 1, 2, 3, 0, 2, 1, 4, 1, 0, 2, 5};
  const Faces got = surface_faces(conn);
  EXPECT_EQ(got, reference_surface(conn));
  const Faces want = {0, 3, 2, 0, 1, 3, 1, 2, 3,   // element 0 without (0, 2, 1)
                      0, 4, 1, 0, 2, 4, 2, 1, 4,   // element 1 without (0, 1, 2)
                      1, 5, 2, 1, 2, 0, 1, 0, 5, 0, 2, 5};
  EXPECT_EQ(got, want);
}

TEST(SurfaceFaces, TrailingIndicesAreIgnored) {
  const std::vector<std::uint32_t> conn = {0, 1, 2, 3, 9, 9};
  EXPECT_EQ(surface_faces(conn), surface_faces(std::vector<std::uint32_t>{0, 1, 2, 3}));
}

// Random elements over few nodes: faces repeat 1 to many times, the table
// grows past its first size and removes entries in the middle of probe runs.
class SurfaceFacesRandom : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint32_t>> {};

TEST_P(SurfaceFacesRandom, MatchesReferenceInBothPositionWidths) {
  const auto [nelements, nnodes] = GetParam();
  std::mt19937_64 rng(nelements * 31 + nnodes);
  std::uniform_int_distribution<std::uint32_t> node(0, nnodes - 1);
  std::vector<std::uint32_t> conn(4 * nelements);
  for (auto& v : conn) v = node(rng);
  const Faces want = reference_surface(conn);
  EXPECT_EQ(surface_faces(conn), want);
  EXPECT_EQ(surface_faces_with<std::uint32_t>(conn), want);
  EXPECT_EQ(surface_faces_with<std::uint64_t>(conn), want);
  EXPECT_EQ(surface_faces(conn), surface_faces(conn));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SurfaceFacesRandom,
                         ::testing::Values(std::tuple{1u, 4u}, std::tuple{50u, 6u}, std::tuple{3000u, 12u},
                                           std::tuple{3000u, 40u}, std::tuple{20000u, 5000u},
                                           std::tuple{20000u, 100000u}));

const std::vector<double> unit_face_nodes = {0, 0, 0, 1, 0, 0, 0, 1, 0};

TEST(SurfaceFaceProperties, UnitRightTriangle) {
  const FaceProperties p = surface_face_properties(unit_face_nodes, std::vector<std::uint32_t>{0, 1, 2});
  EXPECT_EQ(p.areas, (std::vector<double>{0.5}));
  EXPECT_EQ(p.centroids, (std::vector<double>{0.3333333333333333, 0.3333333333333333, 0.0}));
  EXPECT_EQ(p.normals, (std::vector<double>{0.0, 0.0, 1.0}));
  // Reversed vertex order, reversed normal; a trailing index is ignored.
  const FaceProperties r = surface_face_properties(unit_face_nodes, std::vector<std::uint32_t>{0, 2, 1, 5});
  EXPECT_EQ(r.normals, (std::vector<double>{0.0, 0.0, -1.0}));
  EXPECT_EQ(r.areas.size(), 1u);
}

TEST(SurfaceFaceProperties, CollinearCornersGiveZeroAreaAndNanNormal) {
  const std::vector<double> nodes = {0, 0, 0, 1, 0, 0, 2, 0, 0};
  const FaceProperties p = surface_face_properties(nodes, std::vector<std::uint32_t>{0, 1, 2});
  EXPECT_EQ(p.areas[0], 0.0);
  for (double v : p.normals) EXPECT_TRUE(std::isnan(v));
}

TEST(SurfaceFaceProperties, NodeReadsAreCheckedAgainstTheFlatLength) {
  const std::vector<double> seven(7, 1.0);
  EXPECT_NO_THROW(surface_face_properties(seven, std::vector<std::uint32_t>{0, 1, 0}));
  EXPECT_EQ(panic_message([&] { surface_face_properties(seven, std::vector<std::uint32_t>{0, 1, 2}); }),
            "index out of bounds: the len is 7 but the index is 7");
  EXPECT_EQ(panic_message([&] { surface_face_properties(unit_face_nodes, std::vector<std::uint32_t>{0, 4, 3}); }),
            "index out of bounds: the len is 9 but the index is 12");
}

const std::vector<std::uint32_t> one_face = {0, 1, 2};
const std::vector<double> unit_centroid = {0.3333333333333333, 0.3333333333333333, 0.0};
const std::vector<double> unit_normal = {0.0, 0.0, 1.0};

TEST(SurfaceTets, WorkedExampleToTheBit) {
  const SurfaceTets t = surface_tets(unit_face_nodes, one_face, unit_centroid, unit_normal);
  const std::vector<double> want = {
      0.32999999999999996, 0.32999999999999996, 0.0033333333333333327,
      0.33666666666666667, 0.33666666666666667, 0.0033333333333333327,
      0.33666666666666667, 0.32999999999999996, -0.0033333333333333327,
      0.32999999999999996, 0.33666666666666667, -0.0033333333333333327};
  EXPECT_EQ(t.nodes, want);
  EXPECT_EQ(t.connectivity, (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

TEST(SurfaceTets, RegularPositiveTetrahedronCentredOnTheFace) {
  // A tilted face with its own unit normal: the new element is regular with
  // edge 2h, centred on the centroid, positively oriented, and its first two
  // nodes lie on the side the normal points to.
  const std::vector<double> nodes = {0.3, -1.2, 0.7, 2.1, 0.4, -0.5, -0.6, 1.9, 1.3};
  const std::vector<std::uint32_t> face = {0, 1, 2};
  const FaceProperties p = surface_face_properties(nodes, face);
  const SurfaceTets t = surface_tets(nodes, face, p.centroids, p.normals);
  const std::span<const Vec3> q(reinterpret_cast<const Vec3*>(t.nodes.data()), 4);
  const Vec3 c{p.centroids[0], p.centroids[1], p.centroids[2]};
  const Vec3 n{p.normals[0], p.normals[1], p.normals[2]};
  const double h = 0.01 * mag(Vec3{nodes[0], nodes[1], nodes[2]} - c);
  for (int i = 0; i < 4; ++i)
    for (int k = i + 1; k < 4; ++k) EXPECT_NEAR(mag(q[i] - q[k]), 2 * h, 1e-12 * h);
  const Vec3 centre = (((q[0] + q[1]) + q[2]) + q[3]) * 0.25;
  EXPECT_NEAR(mag(centre - c), 0.0, 1e-12 * h);
  EXPECT_GT(dot(q[0] - c, n), 0.0);
  EXPECT_GT(dot(q[1] - c, n), 0.0);
  EXPECT_LT(dot(q[2] - c, n), 0.0);
  EXPECT_LT(dot(q[3] - c, n), 0.0);
  EXPECT_GT(dot(q[1] - q[0], cross(q[2] - q[0], q[3] - q[0])), 0.0);
  std::vector<double> vol(1);
  volumes(q, std::vector<Element>{{0, 1, 2, 3}}, vol);
  EXPECT_NEAR(vol[0], 4.0 / 3.0 * 0.7071067811865475 * h * h * h, 1e-12 * h * h * h);
}

TEST(SurfaceTets, CornerOnCentroidGivesNanAndIndicesCount) {
  const std::vector<double> nodes = {0.5, 0.5, 0.0, 1, 0, 0, 0, 1, 0};
  const std::vector<std::uint32_t> faces = {0, 1, 2, 1, 2, 0};
  const std::vector<double> centroids = {0.5, 0.5, 0.0, 0.5, 0.5, 0.0};
  const std::vector<double> normals = {0, 0, 1, 0, 0, 1};
  const SurfaceTets t = surface_tets(nodes, faces, centroids, normals);
  ASSERT_EQ(t.nodes.size(), 24u);
  for (std::size_t i = 0; i < 12; ++i) EXPECT_TRUE(std::isnan(t.nodes[i])) << i;
  for (std::size_t i = 12; i < 24; ++i) EXPECT_TRUE(std::isfinite(t.nodes[i])) << i;
  EXPECT_EQ(t.connectivity, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(SurfaceTets, ReadsAreCheckedInTheOrderNodeCentroidNormal) {
  const std::vector<double> four = {1, 1, 0, 2};
  // Second face: centroid (flat length 4) fails before normal (length 3).
  EXPECT_EQ(panic_message([&] {
              surface_tets(unit_face_nodes, std::vector<std::uint32_t>{0, 1, 2, 2, 1, 0}, four, unit_normal);
            }),
            "index out of bounds: the len is 4 but the index is 4");
  // Second face: its first corner (node 5 of 3) fails before its centroid.
  EXPECT_EQ(panic_message([&] {
              surface_tets(unit_face_nodes, std::vector<std::uint32_t>{0, 1, 2, 5, 1, 0}, four, unit_normal);
            }),
            "index out of bounds: the len is 9 but the index is 15");
  EXPECT_EQ(panic_message([&] {
              surface_tets(unit_face_nodes, std::vector<std::uint32_t>{0, 1, 2, 2, 1, 0}, unit_centroid, unit_normal);
            }),
            "index out of bounds: the len is 3 but the index is 3");
  // Only the first corner of a face is read.
  EXPECT_NO_THROW(surface_tets(unit_face_nodes, std::vector<std::uint32_t>{0, 99, 99}, unit_centroid, unit_normal));
  EXPECT_TRUE(surface_tets(unit_face_nodes, std::vector<std::uint32_t>{}, {}, {}).nodes.empty());
}

}  // namespace
}  // namespace zandrel
