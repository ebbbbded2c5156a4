// Element volumes and centroids of a tetrahedral mesh.
#include <vector>

#include "core/mesh/mesh.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

const Signature sig_mesh_volumes{"mesh_volumes", {"nodes", "connectivity"}};
const Signature sig_mesh_centroids{"mesh_centroids", {"nodes", "connectivity"}};

namespace {

struct MeshArgs {
  ArrayArg nodes;
  ArrayArg connectivity;
};

MeshArgs accept_mesh(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  bind_arguments(sig, args, nargs, kwnames, a);
  ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
  ArrayArg connectivity = accept_array(a[1], "connectivity", DType::u32, 2);
  return {std::move(nodes), std::move(connectivity)};
}

// Node records and elements of the flat views; the number of element groups
// must match the row count of connectivity.
std::span<const Element> mesh_elements(const MeshArgs& m, std::size_t rows) {
  const std::span<const Element> elements = to_u32x4s(flat_u32(m.connectivity));
  assert_eq(elements.size(), rows);
  return elements;
}

}  // namespace

ZANDREL_ENTRY(py_mesh_volumes) {
  return guarded(module, [&] {
    const MeshArgs m = accept_mesh(sig_mesh_volumes, args, nargs, kwnames);
    const std::size_t rows = m.connectivity.dim(0);
    std::vector<double> out(rows, 0.0);
    const std::span<const Vec3> nodes = to_vec3s(flat_f64(m.nodes));
    volumes(nodes, mesh_elements(m, rows), out);
    return f64_array_1d(out);
  });
}

ZANDREL_ENTRY(py_mesh_centroids) {
  return guarded(module, [&] {
    const MeshArgs m = accept_mesh(sig_mesh_centroids, args, nargs, kwnames);
    const std::size_t rows = m.connectivity.dim(0);
    std::vector<double> out(3 * rows, 0.0);
    const std::span<const Vec3> nodes = to_vec3s(flat_f64(m.nodes));
    centroids(nodes, mesh_elements(m, rows), to_vec3s_mut(out));
    return reshape_2d(f64_array_1d(out), rows, 3);
  });
}

}  // namespace zandrel::py
