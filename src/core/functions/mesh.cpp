// The mesh functions: element measures and the boundary surface.
#include "core/errors.hpp"
#include "core/functions/functions.hpp"

ZANDREL_BEGIN
namespace functions {

std::vector<double> mesh_volumes(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                 std::size_t rows) {
  // The number of element groups must match the row count of connectivity.
  assert_eq(connectivity.size(), rows);
  std::vector<double> out(rows, 0.0);
  volumes(nodes, connectivity, out);
  return out;
}

std::vector<double> mesh_centroids(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                   std::size_t rows) {
  assert_eq(connectivity.size(), rows);
  std::vector<Vec3> out(rows);
  centroids(nodes, connectivity, out);
  std::vector<double> flat;
  flat.reserve(3 * rows);
  for (const Vec3& c : out) flat.insert(flat.end(), {c.x, c.y, c.z});
  return flat;
}

std::vector<std::uint32_t> mesh_surface_faces(std::span<const std::uint32_t> connectivity) {
  return surface_faces(connectivity);
}

FaceProperties mesh_surface_face_properties(std::span<const double> nodes, std::span<const std::uint32_t> faces) {
  return surface_face_properties(nodes, faces);
}

SurfaceTets mesh_surface_tets(std::span<const double> nodes, std::span<const std::uint32_t> faces,
                              std::span<const double> centroids, std::span<const double> normals) {
  return surface_tets(nodes, faces, centroids, normals);
}

}  // namespace functions
ZANDREL_END
