#include "core/mesh/mesh_surface.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "core/constants.hpp"
#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/mesh/mesh.hpp"
#include "core/mesh/tet4_topology.hpp"
#include "core/vec3.hpp"

ZANDREL_BEGIN

namespace {

constexpr double surface_tet_scale = 0.01;        // h / (centroid-to-corner distance)

// A face independent of its vertex order: its indices sorted ascending.
struct FaceKey {
  std::uint32_t lo, mid, hi;
  bool operator==(const FaceKey&) const = default;
};

FaceKey face_key(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  if (a > b) std::swap(a, b);
  if (b > c) std::swap(b, c);
  if (a > b) std::swap(a, b);
  return {a, b, c};
}

std::uint64_t hash_key(const FaceKey& k) {
  std::uint64_t x = ((std::uint64_t{k.lo} << 32) | k.mid) ^ (std::uint64_t{k.hi} * 0x9E3779B97F4A7C15ULL);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDULL;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ULL;
  x ^= x >> 33;
  return x;
}

// The faces seen an odd number of times so far, each with the occurrence
// position of its latest sighting: seeing a face toggles its presence.
// Open addressing with linear probing; removal shifts the following run back
// instead of leaving tombstones, so the table never fills up with the dead
// interior faces of a large mesh. The iteration order is irrelevant: the
// caller orders the survivors by position. Pos is the narrowest unsigned
// type that holds every position plus the empty marker.
template <class Pos>
class OddFaceTable {
 public:
  // Starts small and doubles: in the element order of real meshes only the
  // moving front of unmatched faces is live, and a table that size stays in
  // cache.
  OddFaceTable() : slots_(initial_capacity) {}

  void toggle(const FaceKey& key, Pos pos) {
    std::size_t i = hash_key(key) & mask();
    while (slots_[i].pos != empty) {
      if (slots_[i].key == key) {
        erase_at(i);
        return;
      }
      i = (i + 1) & mask();
    }
    slots_[i] = {key, pos};
    if (++size_ * 2 > slots_.size()) grow();
  }

  std::size_t size() const { return size_; }

  template <class Fn>
  void for_each_position(Fn&& fn) const {
    for (const Slot& s : slots_)
      if (s.pos != empty) fn(s.pos);
  }

 private:
  static constexpr Pos empty = std::numeric_limits<Pos>::max();
  static constexpr std::size_t initial_capacity = 1024;

  struct Slot {
    FaceKey key{};
    Pos pos = empty;
  };

  std::size_t mask() const { return slots_.size() - 1; }

  void erase_at(std::size_t hole) {
    --size_;
    std::size_t j = hole;
    for (;;) {
      j = (j + 1) & mask();
      if (slots_[j].pos == empty) break;
      const std::size_t home = hash_key(slots_[j].key) & mask();
      // The entry at j may fill the hole unless its home lies cyclically in (hole, j].
      const bool home_after_hole = ((j - home) & mask()) < ((j - hole) & mask());
      if (!home_after_hole) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole].pos = empty;
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& s : old) {
      if (s.pos == empty) continue;
      std::size_t i = hash_key(s.key) & mask();
      while (slots_[i].pos != empty) i = (i + 1) & mask();
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace

template <class Pos>
std::vector<std::uint32_t> surface_faces_with(std::span<const std::uint32_t> connectivity) {
  const std::size_t nelements = connectivity.size() / 4;
  OddFaceTable<Pos> table;
  for (std::size_t e = 0; e < nelements; ++e) {
    if (e % checkpoint_stride == 0) checkpoint();
    const std::uint32_t* t = connectivity.data() + 4 * e;
    for (std::size_t f = 0; f < 4; ++f) {
      const tet4::Triple& corner = tet4::surface_faces[f];
      table.toggle(face_key(t[corner[0]], t[corner[1]], t[corner[2]]), static_cast<Pos>(4 * e + f));
    }
  }

  // Survivors in increasing position: a bitmap over all positions, walked
  // word by word.
  std::vector<std::uint64_t> kept((4 * nelements + 63) / 64, 0);
  table.for_each_position([&](Pos p) { kept[p / 64] |= std::uint64_t{1} << (p % 64); });

  std::vector<std::uint32_t> out;
  out.reserve(3 * table.size());
  for (std::size_t w = 0; w < kept.size(); ++w) {
    for (std::uint64_t bits = kept[w]; bits != 0; bits &= bits - 1) {
      const std::size_t p = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
      const std::uint32_t* t = connectivity.data() + 4 * (p / 4);
      const tet4::Triple& corner = tet4::surface_faces[p % 4];
      out.insert(out.end(), {t[corner[0]], t[corner[1]], t[corner[2]]});
    }
  }
  return out;
}

template std::vector<std::uint32_t> surface_faces_with<std::uint32_t>(std::span<const std::uint32_t>);
template std::vector<std::uint32_t> surface_faces_with<std::uint64_t>(std::span<const std::uint32_t>);

std::vector<std::uint32_t> surface_faces(std::span<const std::uint32_t> connectivity) {
  // Positions run to 4E - 1; the largest value of Pos marks an empty slot.
  if (connectivity.size() / 4 * 4 < std::numeric_limits<std::uint32_t>::max())
    return surface_faces_with<std::uint32_t>(connectivity);
  return surface_faces_with<std::uint64_t>(connectivity);
}

namespace {

// Area and unit normal of the triangle with right-hand normal
// n = u x v, u = p2 - p1, v = p0 - p1.
struct AreaAndNormal {
  double area;
  Vec3 normal;
};

// |n| is the square root of a sum of squares of order size^4, which
// underflows for faces below about 1e-77 (in the caller's units) and
// overflows above 1e77. Only then are u and v scaled by the power of two that
// brings their largest component into [0.5, 1) (exact), and the area scaled
// back; every other face keeps the plain computation.
AreaAndNormal area_and_normal(const Vec3& u, const Vec3& v) {
  const Vec3 n = cross(u, v);
  const double len2 = dot(n, n);
  const double largest = std::max({std::fabs(u.x), std::fabs(u.y), std::fabs(u.z), std::fabs(v.x), std::fabs(v.y),
                                   std::fabs(v.z)});
  const bool squares_fit = len2 >= std::numeric_limits<double>::min() && len2 <= std::numeric_limits<double>::max();
  if (squares_fit || !(largest > 0.0 && largest <= std::numeric_limits<double>::max())) {
    const double len = std::sqrt(len2);
    return {len * 0.5, n * (1.0 / len)};
  }
  int e = 0;
  std::frexp(largest, &e);
  const auto scaled = [e](const Vec3& w) {
    return Vec3{std::ldexp(w.x, -e), std::ldexp(w.y, -e), std::ldexp(w.z, -e)};
  };
  const Vec3 ns = cross(scaled(u), scaled(v));
  const double len = mag(ns);
  return {std::ldexp(len * 0.5, 2 * e), ns * (1.0 / len)};
}

}  // namespace

FaceProperties surface_face_properties(std::span<const double> nodes, std::span<const std::uint32_t> surface_faces) {
  const std::size_t nfaces = surface_faces.size() / 3;
  FaceProperties out{std::vector<double>(nfaces, 0.0), std::vector<double>(3 * nfaces, 0.0),
                     std::vector<double>(3 * nfaces, 0.0)};
  for (std::size_t k = 0; k < nfaces; ++k) {
    if (k % checkpoint_stride == 0) checkpoint();
    const Vec3 p0 = node_coords(nodes, surface_faces[3 * k]);
    const Vec3 p1 = node_coords(nodes, surface_faces[3 * k + 1]);
    const Vec3 p2 = node_coords(nodes, surface_faces[3 * k + 2]);
    const Vec3 centroid = ((p0 + p1) + p2) * one_third;
    // The right-hand normal (b - a) x (c - a), taken around p1.
    const auto [area, normal] = area_and_normal(p2 - p1, p0 - p1);
    out.areas[k] = area;
    out.centroids[3 * k] = centroid.x, out.centroids[3 * k + 1] = centroid.y, out.centroids[3 * k + 2] = centroid.z;
    out.normals[3 * k] = normal.x, out.normals[3 * k + 1] = normal.y, out.normals[3 * k + 2] = normal.z;
  }
  return out;
}

SurfaceTets surface_tets(std::span<const double> nodes, std::span<const std::uint32_t> faces,
                         std::span<const double> centroids, std::span<const double> normals) {
  const std::size_t nfaces = faces.size() / 3;
  SurfaceTets out;
  out.nodes.reserve(12 * nfaces);
  out.connectivity.reserve(4 * nfaces);
  for (std::size_t k = 0; k < nfaces; ++k) {
    if (k % checkpoint_stride == 0) checkpoint();
    const Vec3 p = node_coords(nodes, faces[3 * k]);
    const Vec3 c = node_coords(centroids, k);
    const Vec3 n = node_coords(normals, k);
    // u: in-plane unit vector towards the first corner; w = n x u completes
    // the in-plane frame. The four nodes sit at +-u and +-w, raised and
    // lowered by h/sqrt(2) along n: a regular tetrahedron of edge 2h.
    const Vec3 d = p - c;
    const double r = mag(d);
    const double h = r * surface_tet_scale;
    const double inv = 1.0 / r;
    const Vec3 u = d * inv;
    const Vec3 w = cross(n, u);
    const Vec3 lift = (n * h) * inv_sqrt2;
    const Vec3 corners[4] = {(c + u * h) + lift, (c - u * h) + lift, (c + w * h) - lift, (c - w * h) - lift};
    for (const Vec3& q : corners) out.nodes.insert(out.nodes.end(), {q.x, q.y, q.z});
    const auto first = static_cast<std::uint32_t>(4 * k);
    out.connectivity.insert(out.connectivity.end(), {first, first + 1, first + 2, first + 3});
  }
  return out;
}

ZANDREL_END
