// Magnetic forces: Maxwell-stress surface forces per face and the Kelvin
// force density per element.
#include <vector>

#include "core/mesh/forces.hpp"
#include "core/mesh/gradient.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

const Signature sig_mesh_surface_forces{"mesh_surface_forces", {"face_areas", "face_normals", "b_field"}};
const Signature sig_mesh_kelvin_force_density{
    "mesh_kelvin_force_density", {"nodes", "connectivity", "m_field_centroids", "h_field_nodes"}};

ZANDREL_ENTRY(py_mesh_surface_forces) {
  return guarded(module, [&] {
    PyObject* a[3];
    bind_arguments(sig_mesh_surface_forces, args, nargs, kwnames, a);
    const ArrayArg face_areas = accept_array(a[0], "face_areas", DType::f64, 1);
    const ArrayArg face_normals = accept_array(a[1], "face_normals", DType::f64, 2);
    const ArrayArg b_field = accept_array(a[2], "b_field", DType::f64, 2);
    const std::vector<Mat3> stress = maxwell_stress_tensor(flat_f64(b_field));
    const std::span<const double> areas = flat_f64(face_areas);
    const std::span<const double> normals = flat_f64(face_normals);
    const std::vector<Vec3> forces = surface_forces(areas, normals, stress);
    std::vector<double> flat;
    flat.reserve(3 * forces.size());
    for (const Vec3& f : forces) flat.insert(flat.end(), {f.x, f.y, f.z});
    return reshape_2d(f64_array_1d(flat), forces.size(), 3);
  });
}

ZANDREL_ENTRY(py_mesh_kelvin_force_density) {
  return guarded(module, [&] {
    PyObject* a[4];
    bind_arguments(sig_mesh_kelvin_force_density, args, nargs, kwnames, a);
    const ArrayArg nodes_arg = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg connectivity = accept_array(a[1], "connectivity", DType::u32, 2);
    const ArrayArg m_arg = accept_array(a[2], "m_field_centroids", DType::f64, 2);
    const ArrayArg h_arg = accept_array(a[3], "h_field_nodes", DType::f64, 2);
    // The order of the reads decides which failure a caller sees first: the
    // Jacobians (node indices) are checked before H is read.
    const std::size_t count = connectivity.dim(0);
    const std::vector<Vec3> nodes = pyarray_to_vec3(nodes_arg);
    const std::span<const Element> elements = to_u32x4s(flat_u32(connectivity));
    const std::vector<Vec3> m = pyarray_to_vec3(m_arg);
    const std::vector<Mat3> j_invt = jmatrices(nodes, elements);
    const Columns h = pyarray_to_3cols(h_arg);
    return cols_to_pyarray(kelvin_force_density(j_invt, elements, count, m, h));
  });
}

}  // namespace zandrel::py
