// Boundary of a tetrahedral mesh: its triangles, their areas, centroids and
// normals, and the small tetrahedra straddling them. Every array is read in
// place (flat view).
#include "core/mesh/mesh_surface.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

const Signature sig_mesh_surface_faces{"mesh_surface_faces", {"connectivity"}};
const Signature sig_mesh_surface_face_properties{"mesh_surface_face_properties", {"nodes", "faces"}};
const Signature sig__mesh_surface_tets{"_mesh_surface_tets", {"nodes", "faces", "centroids", "normals"}};

namespace {

// A new tuple taking over the given references.
template <class... Refs>
PyRef tuple_of(Refs&&... items) {
  PyRef tuple = PyRef::checked(PyTuple_New(sizeof...(items)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
  return tuple;
}

}  // namespace

ZANDREL_ENTRY(py_mesh_surface_faces) {
  return guarded(module, [&] {
    PyObject* a[1];
    bind_arguments(sig_mesh_surface_faces, args, nargs, kwnames, a);
    const ArrayArg connectivity = accept_array(a[0], "connectivity", DType::u32, 2);
    const std::vector<std::uint32_t> faces = surface_faces(flat_u32(connectivity));
    return reshape_2d(u32_array_1d(faces), faces.size() / 3, 3);
  });
}

ZANDREL_ENTRY(py_mesh_surface_face_properties) {
  return guarded(module, [&] {
    PyObject* a[2];
    bind_arguments(sig_mesh_surface_face_properties, args, nargs, kwnames, a);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg faces = accept_array(a[1], "faces", DType::u32, 2);
    const std::size_t rows = faces.dim(0);
    const std::span<const double> node_values = flat_f64(nodes);
    const std::span<const std::uint32_t> face_indices = flat_u32(faces);
    const FaceProperties props = surface_face_properties(node_values, face_indices);
    // A faces array without exactly three columns fails here, in NumPy's
    // reshape, once all the work is done.
    PyRef areas = f64_array_1d(props.areas);
    PyRef centroids = reshape_2d(f64_array_1d(props.centroids), rows, 3);
    PyRef normals = reshape_2d(f64_array_1d(props.normals), rows, 3);
    return tuple_of(std::move(areas), std::move(centroids), std::move(normals));
  });
}

ZANDREL_ENTRY(py__mesh_surface_tets) {
  return guarded(module, [&] {
    PyObject* a[4];
    bind_arguments(sig__mesh_surface_tets, args, nargs, kwnames, a);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 1);
    const ArrayArg faces = accept_array(a[1], "faces", DType::u32, 1);
    const ArrayArg centroids = accept_array(a[2], "centroids", DType::f64, 1);
    const ArrayArg normals = accept_array(a[3], "normals", DType::f64, 1);
    const std::span<const double> node_values = flat_f64(nodes);
    const std::span<const std::uint32_t> face_indices = flat_u32(faces);
    const std::span<const double> centroid_values = flat_f64(centroids);
    const std::span<const double> normal_values = flat_f64(normals);
    const SurfaceTets tets = surface_tets(node_values, face_indices, centroid_values, normal_values);
    return tuple_of(f64_array_1d(tets.nodes), u32_array_1d(tets.connectivity));
  });
}

}  // namespace zandrel::py
