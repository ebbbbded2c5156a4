// Mesh geometry: element volumes and centroids, the boundary triangles, their
// areas, centroids and normals, and the small tetrahedra straddling them.
#include <vector>

#include "core/functions/functions.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {
namespace {

// A new tuple taking over the given references.
template <class... Refs>
PyRef tuple_of(Refs&&... items) {
  PyRef tuple = PyRef::checked(PyTuple_New(sizeof...(items)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
  return tuple;
}

// The (nodes, connectivity) arguments of a measure function as node records
// and element records (flat views: contiguous).
struct MeshArgs {
  ArrayArg nodes_arg;
  ArrayArg connectivity_arg;
  std::span<const Vec3> nodes;
  std::span<const Element> connectivity;
};

template <std::size_t N>
MeshArgs accept_mesh(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto a = bind_arguments(sig, args, nargs, kwnames);
  MeshArgs m{accept_array(a[0], "nodes", DType::f64, 2), accept_array(a[1], "connectivity", DType::u32, 2), {}, {}};
  m.nodes = to_vec3s(flat_f64(m.nodes_arg));
  m.connectivity = to_u32x4s(flat_u32(m.connectivity_arg));
  return m;
}

}  // namespace

ZANDREL_ENTRY(py_mesh_volumes) {
  return guarded(module, [&] {
    const MeshArgs m = accept_mesh(sig_mesh_volumes, args, nargs, kwnames);
    return f64_array_1d(functions::mesh_volumes(m.nodes, m.connectivity, m.connectivity_arg.dim(0)));
  });
}

ZANDREL_ENTRY(py_mesh_centroids) {
  return guarded(module, [&] {
    const MeshArgs m = accept_mesh(sig_mesh_centroids, args, nargs, kwnames);
    const std::size_t rows = m.connectivity_arg.dim(0);
    return reshape_2d(f64_array_1d(functions::mesh_centroids(m.nodes, m.connectivity, rows)), rows, 3);
  });
}

ZANDREL_ENTRY(py_mesh_surface_faces) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_mesh_surface_faces, args, nargs, kwnames);
    const ArrayArg connectivity = accept_array(a[0], "connectivity", DType::u32, 2);
    const std::vector<std::uint32_t> faces = functions::mesh_surface_faces(flat_u32(connectivity));
    return reshape_2d(u32_array_1d(faces), faces.size() / 3, 3);
  });
}

ZANDREL_ENTRY(py_mesh_surface_face_properties) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_mesh_surface_face_properties, args, nargs, kwnames);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg faces = accept_array(a[1], "faces", DType::u32, 2);
    const std::size_t rows = faces.dim(0);
    const std::span<const double> node_values = flat_f64(nodes);
    const std::span<const std::uint32_t> face_indices = flat_u32(faces);
    const FaceProperties props = functions::mesh_surface_face_properties(node_values, face_indices);
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
    const auto a = bind_arguments(sig__mesh_surface_tets, args, nargs, kwnames);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 1);
    const ArrayArg faces = accept_array(a[1], "faces", DType::u32, 1);
    const ArrayArg centroids = accept_array(a[2], "centroids", DType::f64, 1);
    const ArrayArg normals = accept_array(a[3], "normals", DType::f64, 1);
    const std::span<const double> node_values = flat_f64(nodes);
    const std::span<const std::uint32_t> face_indices = flat_u32(faces);
    const std::span<const double> centroid_values = flat_f64(centroids);
    const std::span<const double> normal_values = flat_f64(normals);
    const SurfaceTets tets = functions::mesh_surface_tets(node_values, face_indices, centroid_values, normal_values);
    return tuple_of(f64_array_1d(tets.nodes), u32_array_1d(tets.connectivity));
  });
}

}  // namespace zandrel::py
