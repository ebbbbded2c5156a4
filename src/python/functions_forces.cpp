// Magnetic forces: Maxwell-stress surface forces per face and the Kelvin
// force density per element.
#include <vector>

#include "core/functions/functions.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

ZANDREL_ENTRY(py_mesh_surface_forces) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_mesh_surface_forces, args, nargs, kwnames);
    const ArrayArg face_areas = accept_array(a[0], "face_areas", DType::f64, 1);
    const ArrayArg face_normals = accept_array(a[1], "face_normals", DType::f64, 2);
    const ArrayArg b_field = accept_array(a[2], "b_field", DType::f64, 2);
    const std::span<const double> b = flat_f64(b_field);
    const std::span<const double> areas = flat_f64(face_areas);
    const std::span<const double> normals = flat_f64(face_normals);
    const std::vector<double> forces = functions::mesh_surface_forces(areas, normals, b);
    return reshape_2d(f64_array_1d(forces), forces.size() / 3, 3);
  });
}

ZANDREL_ENTRY(py_mesh_kelvin_force_density) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_mesh_kelvin_force_density, args, nargs, kwnames);
    const ArrayArg nodes_arg = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg connectivity = accept_array(a[1], "connectivity", DType::u32, 2);
    const ArrayArg m_arg = accept_array(a[2], "m_field_centroids", DType::f64, 2);
    const ArrayArg h_arg = accept_array(a[3], "h_field_nodes", DType::f64, 2);

    const std::vector<Vec3> nodes = pyarray_to_vec3(nodes_arg);
    const std::span<const Element> elements = to_u32x4s(flat_u32(connectivity));
    const std::vector<Vec3> m = pyarray_to_vec3(m_arg);
    return cols_to_pyarray(functions::mesh_kelvin_force_density(nodes, elements, connectivity.dim(0), m,
                                                                [&] { return pyarray_to_3cols(h_arg); }));
  });
}

}  // namespace zandrel::py
