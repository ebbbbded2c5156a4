// The octree: Morton codes, the bounding cube, source sets, construction
// invariants and worked examples, the depth failure, and the evaluation
// (every kernel build against the one-target walk bit for bit, theta = 0
// against the plain sum of the kernels, thread-count independence).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "core/dispatch/dispatch.hpp"
#include "core/errors.hpp"
#include "core/kernels/current_tet4.hpp"
#include "core/kernels/magnetised_tet4.hpp"
#include "core/kernels/point_current.hpp"
#include "core/kernels/point_dipole.hpp"
#include "core/mesh/mesh.hpp"
#include "core/octree/bbox.hpp"
#include "core/octree/evaluate.hpp"
#include "core/octree/morton.hpp"
#include "core/octree/octree.hpp"
#include "core/octree/point_sources.hpp"
#include "core/octree/sort_by_indices.hpp"
#include "core/octree/tet_sources.hpp"

namespace zandrel {
namespace {

using testing::panic_message;
using testing::same_bits;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Bit for bit; NaN equals NaN whatever its payload.
// ---- Morton codes ----------------------------------------------------------

std::uint64_t interleave_bit_by_bit(std::uint32_t qx, std::uint32_t qy, std::uint32_t qz) {
  std::uint64_t code = 0;
  for (unsigned k = 0; k < 21; ++k) {
    code |= std::uint64_t{(qx >> k) & 1u} << (3 * k);
    code |= std::uint64_t{(qy >> k) & 1u} << (3 * k + 1);
    code |= std::uint64_t{(qz >> k) & 1u} << (3 * k + 2);
  }
  return code;
}

TEST(Morton, SingleBitExamples) {
  EXPECT_EQ(morton::interleave({1, 0, 0}), 1u);
  EXPECT_EQ(morton::interleave({0, 1, 0}), 2u);
  EXPECT_EQ(morton::interleave({0, 0, 1}), 4u);
  EXPECT_EQ(morton::interleave({2, 0, 0}), 8u);
  EXPECT_EQ(morton::interleave({2097151, 2097151, 2097151}), (std::uint64_t{1} << 63) - 1);
}

TEST(Morton, InterleaveMatchesBitLoopAndDropsHighBits) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 2000; ++i) {
    const auto qx = static_cast<std::uint32_t>(rng()), qy = static_cast<std::uint32_t>(rng()),
               qz = static_cast<std::uint32_t>(rng());
    EXPECT_EQ(morton::interleave({qx, qy, qz}), interleave_bit_by_bit(qx, qy, qz));
    EXPECT_EQ(morton::interleave({qx, qy, qz}) >> 63, 0u);
  }
}

TEST(Morton, QuantizeSaturates) {
  const auto q = morton::quantize({-0.5, nan, 1e30}, morton::scale);
  EXPECT_EQ(q[0], 0u);
  EXPECT_EQ(q[1], 0u);
  EXPECT_EQ(q[2], 4294967295u);
  const auto r = morton::quantize({0.5, 1.0, 0.0}, morton::scale);
  EXPECT_EQ(r[0], 1048575u);  // floor(0.5 * 2097151)
  EXPECT_EQ(r[1], 2097151u);
  EXPECT_EQ(r[2], 0u);
}

TEST(Morton, NormalizeMultipliesByTheReciprocal) {
  const double side = 3.0;
  const Vec3 n = morton::normalize({1.0, 2.0, 3.0}, side, {0.0, 0.0, 0.0});
  const double inv = 1.0 / side;
  EXPECT_TRUE(same_bits(n.x, 1.0 * inv));
  EXPECT_TRUE(same_bits(n.y, 2.0 * inv));
  EXPECT_TRUE(same_bits(n.z, 3.0 * inv));
}

TEST(Morton, SourceAtOneTwoThree) {
  const BoundingBox box = BoundingBox::from_centroids_vec(std::vector<Vec3>{{1.0, 2.0, 3.0}});
  const auto q = morton::quantize(morton::normalize({1.0, 2.0, 3.0}, box.side_length, box.min_corner()), morton::scale);
  EXPECT_EQ(q[0], 699050u);
  EXPECT_EQ(q[1], 1398100u);
  EXPECT_EQ(q[2], 2097151u);
  EXPECT_EQ(morton::encode({1.0, 2.0, 3.0}, morton::scale, box.side_length, box.min_corner()),
            interleave_bit_by_bit(699050, 1398100, 2097151));
}

TEST(Morton, CornersOfTheUnitCube) {
  EXPECT_EQ(morton::encode({0.0, 0.0, 0.0}, morton::scale, 1.0, {0.0, 0.0, 0.0}), 0u);
  EXPECT_EQ(morton::encode({1.0, 1.0, 1.0}, morton::scale, 1.0, {0.0, 0.0, 0.0}), (std::uint64_t{1} << 63) - 1);
}

TEST(Morton, AllAtTheOriginGivesCodeZero) {
  // side 0: 1/0 = inf, 0 * inf = NaN, quantised to 0.
  EXPECT_EQ(morton::encode({0.0, 0.0, 0.0}, morton::scale, 0.0, {0.0, 0.0, 0.0}), 0u);
  EXPECT_EQ(morton::encode({nan, 0.5, 0.5}, morton::scale, 1.0, {0.0, 0.0, 0.0}),
            interleave_bit_by_bit(0, 1048575, 1048575));
}

// ---- bounding box ----------------------------------------------------------

TEST(BoundingBox, MinAndMaxStartAtZero) {
  EXPECT_FALSE(min_and_max(std::vector<double>{}).has_value());
  EXPECT_EQ(*min_and_max(std::vector<double>{10.0, 11.0}), (Bounds{0.0, 11.0}));
  EXPECT_EQ(*min_and_max(std::vector<double>{-3.0, -1.0}), (Bounds{-3.0, 0.0}));
  EXPECT_EQ(*min_and_max(std::vector<double>{nan, 2.0, -1.0, nan}), (Bounds{-1.0, 2.0}));
}

TEST(BoundingBox, SideLengthIsTheLargestExtent) {
  EXPECT_EQ(side_length_from_bounds({0.0, 1.0}, {-2.0, 0.0}, {0.0, 0.5}), 2.0);
  EXPECT_EQ(side_length_from_bounds({0.0, 1.0}, {0.0, 1.0}, {-4.0, 0.0}), 4.0);
  EXPECT_EQ(side_length_from_bounds({0.0, 3.0}, {0.0, 1.0}, {0.0, 1.0}), 3.0);
}

TEST(BoundingBox, SinglePoint) {
  const BoundingBox box = BoundingBox::from_centroids_vec(std::vector<Vec3>{{1.0, 2.0, 3.0}});
  EXPECT_EQ(box.xbounds, (Bounds{0.0, 1.0}));
  EXPECT_EQ(box.ybounds, (Bounds{0.0, 2.0}));
  EXPECT_EQ(box.zbounds, (Bounds{0.0, 3.0}));
  EXPECT_EQ(box.side_length, 3.0);
  EXPECT_EQ(box.xc, 1.5);
  EXPECT_EQ(box.yc, 1.5);
  EXPECT_EQ(box.zc, 1.5);
  EXPECT_TRUE(same_bits(box.min_corner(), Vec3{0.0, 0.0, 0.0}));
}

TEST(BoundingBox, NegativeCoordinatesHaveUpperBoundZero) {
  const std::vector<double> x{-1.0, -2.0}, y{-3.0, -0.5}, z{-0.25, -0.125};
  const BoundingBox box = *BoundingBox::from_centroids(x, y, z);
  EXPECT_EQ(box.xbounds, (Bounds{-2.0, 0.0}));
  EXPECT_EQ(box.ybounds, (Bounds{-3.0, 0.0}));
  EXPECT_EQ(box.side_length, 3.0);
  EXPECT_EQ(box.xc, -0.5);  // the cube's centre, not the middle of the x bounds
}

TEST(BoundingBox, EmptyInput) {
  const std::vector<double> empty, one{1.0};
  EXPECT_FALSE(BoundingBox::from_centroids(one, one, empty).has_value());
  EXPECT_EQ(panic_message([] { BoundingBox::from_centroids_vec(std::vector<Vec3>{}); }),
            "called `Option::unwrap()` on a `None` value");
}

// ---- sort_by_indices and the source sets ----------------------------------

TEST(SortByIndices, PermutesAndChecksLengths) {
  std::vector<double> data{10.0, 20.0, 30.0}, scratch(3, 0.0);
  const std::vector<std::size_t> indices{2, 0, 1};
  sort_by_indices<double>(data, scratch, indices);
  EXPECT_EQ(data, (std::vector<double>{30.0, 10.0, 20.0}));
  std::vector<double> short_scratch(2, 0.0);
  EXPECT_EQ(panic_message([&] { sort_by_indices<double>(data, short_scratch, indices); }),
            "index out of bounds: the len is 2 but the index is 2");
  const std::vector<std::size_t> bad{0, 5, 1};
  EXPECT_EQ(panic_message([&] { sort_by_indices<double>(data, scratch, bad); }),
            "index out of bounds: the len is 3 but the index is 5");
}

TEST(PointSources, RadiusMomentAndSort) {
  const std::vector<double> x{0.0, 1.0, 2.0}, y{0.0, 0.0, 0.0}, z{0.0, 0.0, 5.0};
  const std::vector<double> vol{4.0 * M_PI / 3.0, 0.0, 2.0};
  const std::vector<double> vx{1.0, 1.0, 1.0}, vy{2.0, 2.0, 2.0}, vz{3.0, 3.0, 3.0};
  PointSources s(x, y, z, vol, vx, vy, vz);
  EXPECT_NEAR(s.radius[0], 1.0, 1e-15);
  EXPECT_TRUE(same_bits(s.radius[0], std::pow(vol[0] * 0.238732414637843, 0.3333333333333333)));
  EXPECT_EQ(s.radius[1], 0.0);
  EXPECT_TRUE(same_bits(s.moment(1), Vec3{0.0, 0.0, 0.0}));
  EXPECT_TRUE(same_bits(s.moment(2), Vec3{2.0, 4.0, 6.0}));
  s.sort(std::vector<std::size_t>{2, 0, 1});
  EXPECT_TRUE(same_bits(s.centroid(0), Vec3{2.0, 0.0, 5.0}));
  EXPECT_TRUE(same_bits(s.moment(0), Vec3{2.0, 4.0, 6.0}));
  EXPECT_EQ(s.radius[1], std::pow(vol[0] * 0.238732414637843, 0.3333333333333333));
  EXPECT_EQ(s.bbox().side_length, 5.0);
}

TEST(PointSources, ShortColumnsAndNoSources) {
  const std::vector<double> x{0.0, 1.0, 2.0}, vol2{1.0, 1.0}, v3{1.0, 1.0, 1.0}, v1{1.0}, empty;
  EXPECT_EQ(panic_message([&] { PointSources(x, x, x, vol2, v3, v3, v3); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(panic_message([&] { PointSources(x, x, x, v3, v3, v1, v3); }),
            "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(panic_message([&] { PointSources(empty, empty, empty, empty, empty, empty, empty); }),
            "called `Option::unwrap()` on a `None` value");
}

TEST(TetSources, SortKeepsElementsTogetherAndNodesInPlace) {
  const std::vector<Vec3> nodes{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 1}};
  const std::vector<Element> conn{{0, 1, 2, 3}, {1, 2, 3, 4}, {0, 2, 3, 4}};
  const std::vector<Vec3> cents{{0.1, 0.1, 0.1}, {0.2, 0.2, 0.2}, {0.3, 0.3, 0.3}};
  const std::vector<double> vols{1.0, 2.0, 3.0};
  const std::vector<Vec3> vecs{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  TetSources s(nodes, conn, cents, vols, vecs);
  s.sort(std::vector<std::size_t>{2, 0, 1});
  EXPECT_EQ(s.connectivity[0], (Element{0, 2, 3, 4}));
  EXPECT_EQ(s.volumes[0], 3.0);
  EXPECT_TRUE(same_bits(s.centroid(0), cents[2]));
  EXPECT_TRUE(same_bits(s.moment(0), Vec3{0.0, 0.0, 3.0}));
  EXPECT_EQ(s.connectivity[2], (Element{1, 2, 3, 4}));
  EXPECT_TRUE(same_bits(s.moment(2), Vec3{0.0, 2.0, 0.0}));
  for (std::size_t i = 0; i < nodes.size(); ++i) EXPECT_TRUE(same_bits(s.nodes[i], nodes[i]));
  // A list of another length aborts at its first missing entry.
  const std::vector<Vec3> two_vecs{{1, 0, 0}, {0, 1, 0}};
  TetSources bad(nodes, conn, cents, vols, two_vecs);
  EXPECT_EQ(panic_message([&] { bad.sort(std::vector<std::size_t>{0, 1, 2}); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_EQ(panic_message([&] { TetSources(nodes, conn, std::vector<Vec3>{}, vols, vecs); }),
            "called `Option::unwrap()` on a `None` value");
}

TEST(TetSources, LeafOfOneElementIsTheEdgeKernel) {
  const std::vector<Vec3> nodes{{-1, 0, -M_SQRT1_2}, {1, 0, -M_SQRT1_2}, {0, 1, M_SQRT1_2}, {0, -1, M_SQRT1_2}};
  const std::vector<Element> conn{{0, 1, 2, 3}};
  const std::vector<Vec3> cents{{0, 0, 0}};
  const std::vector<double> vols{1.0};
  const std::vector<Vec3> vecs{{0.3, -0.2, 1.0}};
  const CurrentSources<TetSources> current(TetSources(nodes, conn, cents, vols, vecs));
  const DipoleSources<TetSources> dipole(TetSources(nodes, conn, cents, vols, vecs));
  const Vec3 t{0.1, 0.2, 0.05};
  const std::array<Vec3, 4> element{nodes[0], nodes[1], nodes[2], nodes[3]};
  EXPECT_TRUE(same_bits(dipole.h_field_leaf(0, 1, t), Vec3{} + h_mag_tet4_edge_at(element, vecs[0], t)));
  const Vec3 once = current.h_field_leaf(0, 1, t);
  EXPECT_TRUE(same_bits(once, Vec3{} + h_current_tet4_edge_at(element, vecs[0], t)));
  EXPECT_TRUE(same_bits(current.h_field_leaf(0, 1, t), once));  // nothing carried over between calls
  // The magnetised element's field inside it, as the tetrahedral kernels give it.
  EXPECT_NEAR(dipole.h_field_leaf(0, 1, t).x, -0.16158, 2e-5);
  EXPECT_NEAR(dipole.h_field_leaf(0, 1, t).y, 0.16576, 2e-5);
  EXPECT_NEAR(dipole.h_field_leaf(0, 1, t).z, -0.38075, 2e-5);
}

// The scalar dipole kernel forms the inside field only where a lane is
// inside; its values must be those of one lane of a vector whose other lanes
// are elsewhere, also exactly on the radius and at the centroid.
TEST(PointSources, ScalarDipoleKernelEqualsAVectorLane) {
  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < 5000; ++i) {
    const Vec3 c{u(rng), u(rng), u(rng)}, m{u(rng), u(rng), u(rng)};
    Vec3 t{u(rng), u(rng), u(rng)};
    double radius = std::abs(u(rng));
    if (i % 7 == 0) t = c;
    if (i % 11 == 0) radius = 0.0;
    if (i % 13 == 0) radius = mag(t - c);
    // A vector of targets: this one in lane 1, others around it.
    using W = simd::Lanes<4>;
    const Vec3 other{t.x + 0.5, t.y, t.z - 0.25};
    const Vec3Lanes<W> lanes{W::load(std::array{other.x, t.x, other.x, other.x}.data()),
                             W::load(std::array{other.y, t.y, other.y, other.y}.data()),
                             W::load(std::array{other.z, t.z, other.z, other.z}.data())};
    const Vec3Lanes<W> h = PointDipole::field(c, m, radius, lanes);
    EXPECT_TRUE(same_bits(Vec3{h.x.v[1], h.y.v[1], h.z.v[1]}, h_point_dipole(c, m, radius, t))) << i;
  }
}

// ---- construction ------------------------------------------------------------

struct Cloud {
  std::vector<double> x, y, z, vol, mx, my, mz;
};

Cloud random_cloud(std::size_t n, unsigned seed, bool clustered = false) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0), v(1e-6, 1e-4);
  std::normal_distribution<double> g(0.0, 0.05);
  Cloud c;
  for (std::size_t i = 0; i < n; ++i) {
    if (clustered && i % 2 == 0) {
      c.x.push_back(0.5 + g(rng)), c.y.push_back(-0.3 + g(rng)), c.z.push_back(0.2 + g(rng));
    } else {
      c.x.push_back(u(rng)), c.y.push_back(u(rng) + 0.5), c.z.push_back(u(rng));
    }
    c.vol.push_back(v(rng));
    c.mx.push_back(u(rng)), c.my.push_back(u(rng)), c.mz.push_back(u(rng));
  }
  return c;
}

PointSources point_sources(const Cloud& c) { return PointSources(c.x, c.y, c.z, c.vol, c.mx, c.my, c.mz); }

using DipoleTree = Octree<DipoleSources<PointSources>>;

// The subtree of every node, checked against the source data it summarises.
template <class S>
void check_subtree(const Octree<S>& tree, std::uint32_t idx, std::uint32_t leaf_threshold, std::size_t& next_source,
                   std::size_t& next_node) {
  ASSERT_EQ(idx, next_node) << "pre-order";
  ++next_node;
  const Node& n = tree.nodes[idx];
  const std::size_t count = n.end - n.first;
  EXPECT_EQ(n.first, next_source);
  // Every source of the node lies in the node's cell.
  const unsigned shift = 3 * (21 - n.level);
  for (std::size_t i = n.first; i < n.end; ++i)
    EXPECT_EQ(tree.codes[i] >> shift, tree.codes[n.first] >> shift);
  if (n.is_leaf) {
    EXPECT_LE(count, leaf_threshold);
    EXPECT_GE(count, 1u);
    next_source = n.end;
    EXPECT_EQ(n.subtree_end, idx + 1);
    return;
  }
  EXPECT_GT(count, leaf_threshold);
  const Branch b = std::get<Branch>(tree.node(idx));
  EXPECT_EQ(b.size, tree.bbox.side_length / std::pow(2.0, n.level));
  // Children: non-empty sub-cubes at the front in ascending Morton digit, then zeros.
  std::size_t k = 0;
  int last_digit = -1;
  Vec3 moment_sum;
  for (; k < 8 && b.children[k] != 0; ++k) {
    const Node& c = tree.nodes[b.children[k]];
    EXPECT_EQ(c.level, n.level + 1);
    const int digit = static_cast<int>((tree.codes[c.first] >> (3 * (21 - c.level))) & 7u);
    EXPECT_GT(digit, last_digit);
    last_digit = digit;
    check_subtree(tree, b.children[k], leaf_threshold, next_source, next_node);
  }
  for (; k < 8; ++k) EXPECT_EQ(b.children[k], 0u);
  EXPECT_EQ(next_source, n.end);
  EXPECT_EQ(n.subtree_end, next_node);
  // The moment is the sum of the sources' moments below the branch.
  for (std::size_t i = n.first; i < n.end; ++i) moment_sum = moment_sum + tree.sources.moment(i);
  const double scale = 1e-12 * (1.0 + mag(moment_sum) + static_cast<double>(count) * 1e-4);
  EXPECT_NEAR(b.moment.x, moment_sum.x, scale);
  EXPECT_NEAR(b.moment.y, moment_sum.y, scale);
  EXPECT_NEAR(b.moment.z, moment_sum.z, scale);
}

class TreeInvariants : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint32_t, bool>> {};

TEST_P(TreeInvariants, EverySourceInExactlyOneLeafInPreOrder) {
  const auto [n, leaf_threshold, clustered] = GetParam();
  const Cloud cloud = random_cloud(n, static_cast<unsigned>(n + leaf_threshold), clustered);
  const DipoleTree tree = build_from_sources(DipoleSources(point_sources(cloud)), 21, leaf_threshold);
  EXPECT_TRUE(std::is_sorted(tree.codes.begin(), tree.codes.end()));
  std::size_t next_source = 0, next_node = 0;
  check_subtree(tree, 0, leaf_threshold, next_source, next_node);
  EXPECT_EQ(next_source, n);
  EXPECT_EQ(next_node, tree.nodes.size());
  // Leaves, read in node order, cover 0 .. n-1 without gaps; the sorted set
  // is a permutation of the input with codes ascending.
  std::size_t covered = 0;
  for (const Node& node : tree.nodes)
    if (node.is_leaf) {
      EXPECT_EQ(node.first, covered);
      covered = node.end;
    }
  EXPECT_EQ(covered, n);
  std::vector<double> xs = tree.sources.sources.positions.x, orig = cloud.x;
  std::sort(xs.begin(), xs.end());
  std::sort(orig.begin(), orig.end());
  EXPECT_EQ(xs, orig);
}

INSTANTIATE_TEST_SUITE_P(Octree, TreeInvariants,
                         ::testing::Values(std::make_tuple(std::size_t{1}, 1u, false),
                                           std::make_tuple(std::size_t{9}, 1u, false),
                                           std::make_tuple(std::size_t{300}, 1u, true),
                                           std::make_tuple(std::size_t{1000}, 4u, false),
                                           std::make_tuple(std::size_t{1000}, 16u, true),
                                           std::make_tuple(std::size_t{777}, 1000u, false)));

TEST(OctreeBuild, StableSortKeepsInputOrderOfEqualCodes) {
  // Two coincident pairs: equal codes keep their input order.
  const std::vector<double> x{1.0, 0.0, 1.0, 0.0}, y{0.0, 0.0, 0.0, 0.0}, z{0.0, 0.0, 0.0, 0.0};
  const std::vector<double> vol{1.0, 2.0, 3.0, 4.0}, m{1.0, 1.0, 1.0, 1.0};
  const auto tree = build_from_sources(DipoleSources(PointSources(x, y, z, vol, m, m, m)), 21, 2);
  EXPECT_EQ(tree.sources.sources.moments.x, (std::vector<double>{2.0, 4.0, 1.0, 3.0}));
}

TEST(OctreeBuild, FewSourcesMakeOneLeafAtTheMean) {
  const std::vector<double> x{1.0, 2.0, 4.0}, y{0.0, 1.0, 0.0}, z{3.0, 0.0, 0.0}, v{1.0, 1.0, 1.0};
  const auto tree = build_from_sources(DipoleSources(PointSources(x, y, z, v, v, v, v)), 21, 3);
  ASSERT_EQ(tree.nodes.size(), 1u);
  const Leaf leaf = std::get<Leaf>(tree.node(0));
  EXPECT_EQ(leaf.level, 0);
  EXPECT_EQ(leaf.source_range, (std::pair<std::uint32_t, std::uint32_t>{0, 3}));
  const double third = 1.0 / 3.0;
  EXPECT_TRUE(same_bits(leaf.centroid, Vec3{7.0 * third, 1.0 * third, 3.0 * third}));
}

TEST(OctreeBuild, EightCorners) {
  std::vector<double> x, y, z;
  // Input order scrambled; the children come out in Morton order.
  for (const int c : {7, 2, 5, 0, 3, 6, 1, 4}) {
    x.push_back(c & 1), y.push_back((c >> 1) & 1), z.push_back((c >> 2) & 1);
  }
  const std::vector<double> v(8, 1.0), mx(8, 0.5), my(8, 0.0), mz(8, 0.0);
  const auto tree = build_from_sources(DipoleSources(PointSources(x, y, z, v, mx, my, mz)), 21, 1);
  ASSERT_EQ(tree.nodes.size(), 9u);
  const Branch root = std::get<Branch>(tree.node(0));
  EXPECT_EQ(root.level, 0);
  EXPECT_EQ(root.size, 1.0);
  EXPECT_EQ(root.children, (std::array<std::uint32_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
  const Vec3 expected[8] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {1, 1, 1}};
  for (std::uint32_t k = 0; k < 8; ++k) {
    const Leaf leaf = std::get<Leaf>(tree.node(k + 1));
    EXPECT_EQ(leaf.level, 1);
    EXPECT_EQ(leaf.source_range, (std::pair<std::uint32_t, std::uint32_t>{k, k + 1}));
    EXPECT_TRUE(same_bits(leaf.centroid, expected[k])) << k;
  }
  EXPECT_TRUE(same_bits(root.moment, Vec3{4.0, 0.0, 0.0}));
  EXPECT_NEAR(root.centroid.x, 0.5, 1e-15);
  EXPECT_NEAR(root.centroid.y, 0.5, 1e-15);
  EXPECT_NEAR(root.centroid.z, 0.5, 1e-15);
}

TEST(OctreeBuild, CentroidWorkedExample) {
  Vec3 c;
  update_centroid(c, 0.0, {0.0, 0.0, 0.0}, 1.0);
  EXPECT_TRUE(same_bits(c, Vec3{0.0, 0.0, 0.0}));
  update_centroid(c, 1.0, {1.0, 0.0, 0.0}, 1.0);
  EXPECT_TRUE(same_bits(c, Vec3{0.5, 0.0, 0.0}));

  const std::vector<double> x{0.0, 1.0}, zero{0.0, 0.0}, v{1.0, 1.0}, mx{1.0, -1.0};
  const auto tree = build_from_sources(DipoleSources(PointSources(x, zero, zero, v, mx, zero, zero)), 21, 1);
  ASSERT_EQ(tree.nodes.size(), 3u);
  const Branch root = std::get<Branch>(tree.node(0));
  EXPECT_TRUE(same_bits(root.centroid, Vec3{0.5, 0.0, 0.0}));
  EXPECT_TRUE(same_bits(root.moment, Vec3{0.0, 0.0, 0.0}));
  EXPECT_EQ(root.children, (std::array<std::uint32_t, 8>{1, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(OctreeBuild, BranchChildrenEnterAsWholes) {
  // Root with a branch child (two sources near the origin) and a leaf child
  // (one far source): the root combines the branch by its aggregate.
  const std::vector<double> x{0.0, 0.1, 1.0}, y{0.0, 0.0, 1.0}, z{0.0, 0.0, 1.0};
  const std::vector<double> v{1.0, 1.0, 1.0}, mx{2.0, 1.0, 0.0}, my{0.0, 0.0, 3.0}, mz{0.0, 0.0, 0.0};
  const auto tree = build_from_sources(DipoleSources(PointSources(x, y, z, v, mx, my, mz)), 21, 1);
  const Branch root = std::get<Branch>(tree.node(0));
  const Branch inner = std::get<Branch>(tree.node(root.children[0]));
  Vec3 expected;
  update_centroid(expected, 0.0, inner.centroid, mag(inner.moment));
  update_centroid(expected, mag(inner.moment), {1.0, 1.0, 1.0}, 3.0);
  EXPECT_TRUE(same_bits(root.centroid, expected));
  EXPECT_TRUE(same_bits(root.moment, Vec3{3.0, 3.0, 0.0}));
  EXPECT_NEAR(inner.centroid.x, (0.0 * 2.0 + 0.1 * 1.0) / 3.0, 1e-16);
}

TEST(OctreeBuild, ZeroFirstMomentGivesNaNCentroid) {
  const std::vector<double> x{0.0, 1.0}, zero{0.0, 0.0}, v{1.0, 1.0}, mx{0.0, 1.0};
  const auto tree = build_from_sources(DipoleSources(PointSources(x, zero, zero, v, mx, zero, zero)), 21, 1);
  const Branch root = std::get<Branch>(tree.node(0));
  EXPECT_TRUE(std::isnan(root.centroid.x) && std::isnan(root.centroid.y) && std::isnan(root.centroid.z));
  EXPECT_TRUE(same_bits(root.moment, Vec3{1.0, 0.0, 0.0}));
}

TEST(OctreeBuild, HelpersOnCodes) {
  EXPECT_EQ(get_prefix((std::uint64_t{1} << 63) - 1, 21, 0), 0u);
  EXPECT_EQ(get_prefix((std::uint64_t{1} << 63) - 1, 21, 1), 7u);
  EXPECT_EQ(get_prefix(0x123456789ull, 21, 21), 0x123456789ull);
  const std::vector<std::uint64_t> codes{0, 1, 7, 8, 64, 65, std::uint64_t{1} << 60};
  EXPECT_EQ(get_range_in_same_node(codes, 21, 21, 0), 1u);
  EXPECT_EQ(get_range_in_same_node(codes, 20, 21, 0), 3u);
  EXPECT_EQ(get_range_in_same_node(codes, 19, 21, 3), 4u);
  EXPECT_EQ(get_range_in_same_node(codes, 1, 21, 0), 6u);
  EXPECT_EQ(get_range_in_same_node(codes, 0, 21, 0), 7u);
  EXPECT_EQ(size_at_level(3.0, 0), 3.0);
  EXPECT_EQ(size_at_level(3.0, 21), 3.0 / 2097152.0);
}

// ---- the depth failure -------------------------------------------------------

struct DeepCase {
  std::uint32_t leaf_threshold;
  std::vector<Vec3> points;
  std::string line;
};

class DepthExhausted : public ::testing::TestWithParam<DeepCase> {};

TEST_P(DepthExhausted, WritesTheLineThenPanics) {
  const DeepCase& c = GetParam();
  std::vector<double> x, y, z, v;
  for (const Vec3& p : c.points) x.push_back(p.x), y.push_back(p.y), z.push_back(p.z), v.push_back(1.0);
  ::testing::internal::CaptureStderr();
  const std::string message = panic_message(
      [&] { build_from_sources(CurrentSources(PointSources(x, y, z, v, v, v, v)), 21, c.leaf_threshold); });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
  EXPECT_EQ(message, "explicit panic");
}

INSTANTIATE_TEST_SUITE_P(
    Octree, DepthExhausted,
    ::testing::Values(DeepCase{0, {{1.0, 2.0, 3.0}}, "DEEP: level=22, start=0, end=1, n=1\n"},
                      DeepCase{1, {{0.5, 0.5, 0.5}, {0.5, 0.5, 0.5}}, "DEEP: level=22, start=0, end=2, n=2\n"},
                      // Only the coincident pair goes deep; it sorts after the source at the origin.
                      DeepCase{2, {{0.25, 1.0, 1.0}, {0.0, 0.0, 0.0}, {0.25, 1.0, 1.0}, {0.25, 1.0, 1.0}},
                               "DEEP: level=22, start=1, end=4, n=3\n"}));

// ---- evaluation ----------------------------------------------------------------

// The recursion exactly as stated, on the node views: the reference every
// evaluation must reproduce bit for bit.
template <class S>
Vec3 recurse(const Octree<S>& tree, std::uint32_t idx, const Vec3& t, double theta) {
  const NodeView view = tree.node(idx);
  if (const Leaf* leaf = std::get_if<Leaf>(&view))
    return tree.sources.h_field_leaf(leaf->source_range.first, leaf->source_range.second, t);
  const Branch& b = std::get<Branch>(view);
  const Vec3 r = t - b.centroid;
  const double d = std::sqrt((r.x * r.x + r.y * r.y) + r.z * r.z);
  if (b.size < theta * d) return tree.sources.h_field_branch(b.centroid, b.moment, t);
  Vec3 h;
  for (const std::uint32_t child : b.children)
    if (child != 0) h = h + recurse(tree, child, t, theta);
  return h;
}

Columns targets_near(const Cloud& c, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  Columns t(n);
  for (std::size_t i = 0; i < n; ++i) t.x[i] = u(rng), t.y[i] = u(rng) + 0.5, t.z[i] = u(rng);
  // Targets on sources, far away, at the origin and not a number.
  for (std::size_t i = 0; i < n && i < 20; ++i) t.x[i] = c.x[i], t.y[i] = c.y[i], t.z[i] = c.z[i];
  t.x[n - 1] = 40.0, t.y[n - 1] = -30.0, t.z[n - 1] = 20.0;
  t.x[n - 2] = 0.0, t.y[n - 2] = 0.0, t.z[n - 2] = 0.0;
  t.x[n - 3] = nan;
  return t;
}

template <class S>
void expect_every_build_equals_recursion(const Octree<S>& tree, const Columns& t, double theta) {
  std::vector<Vec3> reference(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) reference[i] = recurse(tree, 0, {t.x[i], t.y[i], t.z[i]}, theta);
  for (std::size_t i = 0; i < t.size(); ++i)
    ASSERT_TRUE(same_bits(h_traverse(tree, 0, {t.x[i], t.y[i], t.z[i]}, theta), reference[i])) << i;
  for (const Isa isa : {Isa::portable, Isa::avx2, Isa::avx512}) {
    if (!isa_supported(isa)) continue;
    // Every length of the target run, so that every target is also in a
    // partial vector.
    for (std::size_t len : {t.size(), t.size() - 1, t.size() - 5, std::size_t{1}, std::size_t{3}}) {
      Columns out(len);
      h_field(tree, std::span(t.x).first(len), std::span(t.y).first(len), std::span(t.z).first(len),
              std::span(out.x), std::span(out.y), std::span(out.z), theta, isa);
      for (std::size_t i = 0; i < len; ++i) {
        const Vec3 expected = Vec3{} + reference[i];
        ASSERT_TRUE(same_bits(Vec3{out.x[i], out.y[i], out.z[i]}, expected))
            << isa_name(isa) << " theta " << theta << " target " << i << " of " << len;
      }
    }
  }
}

class PointEvaluation : public ::testing::TestWithParam<std::tuple<double, std::uint32_t>> {};

TEST_P(PointEvaluation, EveryBuildEqualsTheRecursion) {
  const auto [theta, leaf_threshold] = GetParam();
  const Cloud cloud = random_cloud(600, 17, true);
  const Columns t = targets_near(cloud, 203, 4);
  const auto dipoles = build_from_sources(DipoleSources(point_sources(cloud)), 21, leaf_threshold);
  expect_every_build_equals_recursion(dipoles, t, theta);
  const auto currents = build_from_sources(CurrentSources(point_sources(cloud)), 21, leaf_threshold);
  expect_every_build_equals_recursion(currents, t, theta);
}

INSTANTIATE_TEST_SUITE_P(Octree, PointEvaluation,
                         ::testing::Combine(::testing::Values(0.0, 0.3, 0.5, 1.0, 3.0, inf, -1.0, nan),
                                            ::testing::Values(1u, 5u, 64u)));

// A box [0, 2] x [0, 1] x [0, 1] of cubes, each split into six tetrahedra
// around its main diagonal, plus a few random elements.
struct Mesh {
  std::vector<Vec3> nodes;
  std::vector<Element> conn;
  std::vector<Vec3> centroids, vectors;
  std::vector<double> volumes;
};

Mesh box_mesh(std::size_t nx, std::size_t ny, std::size_t nz, unsigned seed) {
  Mesh m;
  const double h = 1.0 / static_cast<double>(ny);
  auto id = [&](std::size_t i, std::size_t j, std::size_t k) {
    return static_cast<std::uint32_t>((k * (ny + 1) + j) * (nx + 1) + i);
  };
  for (std::size_t k = 0; k <= nz; ++k)
    for (std::size_t j = 0; j <= ny; ++j)
      for (std::size_t i = 0; i <= nx; ++i)
        m.nodes.push_back({static_cast<double>(i) * h, static_cast<double>(j) * h, static_cast<double>(k) * h});
  for (std::size_t k = 0; k < nz; ++k)
    for (std::size_t j = 0; j < ny; ++j)
      for (std::size_t i = 0; i < nx; ++i) {
        const std::uint32_t c[8] = {id(i, j, k),         id(i + 1, j, k),         id(i, j + 1, k),
                                    id(i + 1, j + 1, k), id(i, j, k + 1),         id(i + 1, j, k + 1),
                                    id(i, j + 1, k + 1), id(i + 1, j + 1, k + 1)};
        const int paths[6][2] = {{1, 3}, {1, 5}, {2, 3}, {2, 6}, {4, 5}, {4, 6}};
        for (const auto& p : paths) m.conn.push_back({c[0], c[p[0]], c[p[1]], c[7]});
      }
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  m.centroids.resize(m.conn.size());
  m.volumes.resize(m.conn.size());
  centroids(m.nodes, m.conn, m.centroids);
  volumes(m.nodes, m.conn, m.volumes);
  for (std::size_t e = 0; e < m.conn.size(); ++e) m.vectors.push_back({u(rng), u(rng), u(rng)});
  return m;
}

class TetEvaluation : public ::testing::TestWithParam<std::tuple<double, std::uint32_t>> {};

TEST_P(TetEvaluation, EveryBuildEqualsTheRecursion) {
  const auto [theta, leaf_threshold] = GetParam();
  const Mesh m = box_mesh(4, 2, 2, 9);
  Cloud near;  // targets on nodes, centroids and around the mesh
  for (std::size_t i = 0; i < 25; ++i) {
    near.x.push_back(m.centroids[i].x), near.y.push_back(m.centroids[i].y), near.z.push_back(m.centroids[i].z);
  }
  Columns t = targets_near(near, 70, 5);
  t.x[30] = m.nodes[4].x, t.y[30] = m.nodes[4].y, t.z[30] = m.nodes[4].z;
  const auto dipoles =
      build_from_sources(DipoleSources(TetSources(m.nodes, m.conn, m.centroids, m.volumes, m.vectors)), 21,
                         leaf_threshold);
  expect_every_build_equals_recursion(dipoles, t, theta);
  const auto currents =
      build_from_sources(CurrentSources(TetSources(m.nodes, m.conn, m.centroids, m.volumes, m.vectors)), 21,
                         leaf_threshold);
  expect_every_build_equals_recursion(currents, t, theta);
}

INSTANTIATE_TEST_SUITE_P(Octree, TetEvaluation,
                         ::testing::Combine(::testing::Values(0.0, 0.5, 2.0, inf), ::testing::Values(1u, 6u)));

TEST(OctreeEvaluation, ThetaZeroIsTheSumOfTheLeafKernels) {
  const Cloud cloud = random_cloud(500, 23);
  const Columns t = targets_near(cloud, 50, 6);
  const auto tree = build_from_sources(DipoleSources(point_sources(cloud)), 21, 3);
  Columns out(t.size()), negative(t.size()), not_a_number(t.size());
  h_field(tree, t, out, 0.0);
  h_field(tree, t, negative, -2.0);
  h_field(tree, t, not_a_number, nan);
  for (std::size_t j = 0; j < t.size(); ++j) {
    if (std::isnan(t.x[j])) continue;
    Vec3 sum;  // every source by the point kernel, input order
    for (std::size_t i = 0; i < cloud.x.size(); ++i) {
      const double r = std::pow(cloud.vol[i] * three_over_4pi, one_third);
      const Vec3 m{cloud.vol[i] * cloud.mx[i], cloud.vol[i] * cloud.my[i], cloud.vol[i] * cloud.mz[i]};
      sum = sum + h_point_dipole({cloud.x[i], cloud.y[i], cloud.z[i]}, m, r, {t.x[j], t.y[j], t.z[j]});
    }
    const double tol = 1e-12 * (1.0 + mag(sum));
    EXPECT_NEAR(out.x[j], sum.x, tol);
    EXPECT_NEAR(out.y[j], sum.y, tol);
    EXPECT_NEAR(out.z[j], sum.z, tol);
    EXPECT_TRUE(same_bits(out.x[j], negative.x[j]) && same_bits(out.x[j], not_a_number.x[j]));
  }
}

TEST(OctreeEvaluation, InfiniteThetaUsesTheRootAggregate) {
  const Cloud cloud = random_cloud(200, 29);
  const auto tree = build_from_sources(CurrentSources(point_sources(cloud)), 21, 4);
  const Branch root = std::get<Branch>(tree.node(0));
  const Vec3 t{5.0, 6.0, -7.0};
  EXPECT_TRUE(same_bits(h_traverse(tree, 0, t, inf), h_point(root.centroid, root.moment, 0.0, t)));
  // On the root centroid the root is opened, whatever theta is.
  const Vec3 on = root.centroid;
  EXPECT_TRUE(same_bits(h_traverse(tree, 0, on, inf), recurse(tree, 0, on, inf)));
  EXPECT_FALSE(same_bits(h_traverse(tree, 0, on, inf), h_point(root.centroid, root.moment, 0.0, on)));
}

TEST(OctreeEvaluation, NaNCentroidBranchesAreAlwaysOpened) {
  // Two clusters; the first source of the cluster at the origin has zero
  // moment, so that cluster's branch (and the root) has a NaN centroid.
  std::vector<double> x, y, z, v, mx, my, mz;
  for (int i = 0; i < 4; ++i) {
    x.push_back(0.01 * i), y.push_back(0.0), z.push_back(0.0);
    x.push_back(1.0 - 0.01 * i), y.push_back(1.0), z.push_back(1.0);
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    v.push_back(1.0), mx.push_back(i == 0 ? 0.0 : 1.0), my.push_back(0.5), mz.push_back(0.0);
  }
  my[0] = 0.0;
  const auto tree = build_from_sources(DipoleSources(PointSources(x, y, z, v, mx, my, mz)), 21, 1);
  const Branch root = std::get<Branch>(tree.node(0));
  ASSERT_TRUE(std::isnan(root.centroid.x));
  const Branch near = std::get<Branch>(tree.node(root.children[0]));
  const Branch far = std::get<Branch>(tree.node(root.children[1]));
  ASSERT_TRUE(std::isnan(near.centroid.x));
  ASSERT_FALSE(std::isnan(far.centroid.x));
  const Vec3 t{-20.0, -30.0, -10.0};
  // theta = inf: every branch with a finite centroid is taken whole; a NaN
  // centroid would poison the sum, so those are opened (down to the leaf
  // of the zero-moment source).
  const Vec3 got = h_traverse(tree, 0, t, inf);
  EXPECT_TRUE(same_bits(got, recurse(tree, 0, t, inf)));
  EXPECT_TRUE(std::isfinite(got.x) && std::isfinite(got.y) && std::isfinite(got.z));
  EXPECT_TRUE(same_bits(tree.sources.h_field_branch(near.centroid, near.moment, t).x, nan));
  const Vec3 exact = h_traverse(tree, 0, t, 0.0);
  EXPECT_NEAR(got.x, exact.x, 1e-3 * mag(exact));
  EXPECT_NEAR(got.y, exact.y, 1e-3 * mag(exact));
  EXPECT_FALSE(same_bits(got, exact));
}

TEST(OctreeEvaluation, ParallelEqualsSequentialAndAddsIntoTheOutput) {
  const Cloud cloud = random_cloud(3000, 31, true);
  const Columns t = targets_near(cloud, 1001, 7);
  const auto tree = build_from_sources(CurrentSources(point_sources(cloud)), 21, 8);
  Columns sequential(t.size());
  h_field(tree, t, sequential, 0.6);
  for (const std::uint32_t n : {0u, 1u, 2u, 3u, 7u, 1000u, 5000u}) {
    Columns par(t.size());
    h_field_parallel(tree, t, par, 0.6, n);
    for (std::size_t i = 0; i < t.size(); ++i)
      ASSERT_TRUE(same_bits(Vec3{par.x[i], par.y[i], par.z[i]},
                            Vec3{sequential.x[i], sequential.y[i], sequential.z[i]}))
          << n << " " << i;
  }
  Columns twice(t.size());
  h_field(tree, t, twice, 0.6);
  h_field(tree, t, twice, 0.6);
  for (std::size_t i = 0; i < t.size(); ++i)
    if (!std::isnan(sequential.x[i])) {
      EXPECT_EQ(twice.x[i], sequential.x[i] + sequential.x[i]);
    }
}

TEST(OctreeEvaluation, ShortColumnsAndNoTargets) {
  const Cloud cloud = random_cloud(50, 37);
  const auto tree = build_from_sources(DipoleSources(point_sources(cloud)), 21, 4);
  std::vector<double> x(5, 0.1), y(5, 0.2), z(4, 0.3), hx(5), hy(5), hz(5);
  EXPECT_EQ(panic_message([&] { h_field(tree, std::span<const double>(x), std::span<const double>(y),
                                        std::span<const double>(z), std::span(hx), std::span(hy), std::span(hz),
                                        0.5); }),
            "index out of bounds: the len is 4 but the index is 4");
  Columns none, out;
  h_field_parallel(tree, none, out, 0.5, 0);
  EXPECT_EQ(out.size(), 0u);
}

TEST(OctreeEvaluation, SingleSourceIsTheExactKernel) {
  const std::vector<double> x{0.3}, y{-0.2}, z{0.1}, v{0.5}, mx{1.0}, my{2.0}, mz{-1.0};
  const auto tree = build_from_sources(DipoleSources(PointSources(x, y, z, v, mx, my, mz)), 21, 1);
  const Vec3 t{1.0, 1.0, 1.0};
  const double r = std::pow(0.5 * three_over_4pi, one_third);
  const Vec3 exact = h_point_dipole({0.3, -0.2, 0.1}, {0.5, 1.0, -0.5}, r, t);
  EXPECT_TRUE(same_bits(h_traverse(tree, 0, t, 0.5), Vec3{} + exact));
}

TEST(OctreeEvaluation, BadConnectivityAbortsBeforeEvaluating) {
  Mesh m = box_mesh(2, 1, 1, 3);
  m.conn[5][2] = 1000;
  const auto tree = build_from_sources(DipoleSources(TetSources(m.nodes, m.conn, m.centroids, m.volumes, m.vectors)),
                                       21, 2);
  Columns t(3), out(3);
  EXPECT_EQ(panic_message([&] { h_field(tree, t, out, 0.5); }),
            "index out of bounds: the len is " + std::to_string(m.nodes.size()) + " but the index is 1000");
}

}  // namespace
}  // namespace zandrel
