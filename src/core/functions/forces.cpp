// The force functions: Maxwell-stress surface forces and the Kelvin force
// density.
#include "core/functions/functions.hpp"
#include "core/mesh/forces.hpp"
#include "core/mesh/gradient.hpp"

ZANDREL_BEGIN
namespace functions {

std::vector<double> mesh_surface_forces(std::span<const double> face_areas, std::span<const double> face_normals,
                                        std::span<const double> b_field) {
  const std::vector<Mat3> stress = maxwell_stress_tensor(b_field);
  const std::vector<Vec3> forces = surface_forces(face_areas, face_normals, stress);
  std::vector<double> flat;
  flat.reserve(3 * forces.size());
  for (const Vec3& f : forces) flat.insert(flat.end(), {f.x, f.y, f.z});
  return flat;
}

Columns mesh_kelvin_force_density(std::span<const Vec3> nodes, std::span<const Element> connectivity,
                                  std::size_t rows, std::span<const Vec3> m_field_centroids,
                                  const Deferred<Columns>& h_field_nodes) {
  // The Jacobians (node indices) are checked before H is read.
  const std::vector<Mat3> j_invt = jmatrices(nodes, connectivity);
  const Columns h = h_field_nodes();
  return kelvin_force_density(j_invt, connectivity, rows, m_field_centroids, h);
}

}  // namespace functions
ZANDREL_END
