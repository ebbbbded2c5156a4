// The magnetisation solver: self-consistent magnetisation of a linear
// material meshed with tetrahedra in an applied field.
#include <vector>

#include "core/solver/magnetization.hpp"
#include "core/mesh/mesh.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

const Signature sig_magnetization_tet4{
    "magnetization_tet4",
    {"nodes", "connectivity", "chi", "hext", "tol", "max_iterations", "theta", "leaf_threshold", "alpha",
     "nthreads_requested", "edge"}};

ZANDREL_ENTRY(py_magnetization_tet4) {
  return guarded(module, [&] {
    PyObject* a[11];
    bind_arguments(sig_magnetization_tet4, args, nargs, kwnames, a);
    const ArrayArg nodes_arg = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg connectivity_arg = accept_array(a[1], "connectivity", DType::u32, 2);
    const double chi = to_f64(a[2], "chi");
    const ArrayArg hext_arg = accept_array(a[3], "hext", DType::f64, 2);
    const double tol = to_f64(a[4], "tol");
    const std::uint32_t max_iterations = to_u32(a[5], "max_iterations");
    const double theta = to_f64(a[6], "theta");
    const std::uint32_t leaf_threshold = to_u32(a[7], "leaf_threshold");
    const double alpha = to_f64(a[8], "alpha");
    const std::uint32_t nthreads = to_u32(a[9], "nthreads_requested");
    const bool edge = to_bool(a[10], "edge");

    const std::size_t count = connectivity_arg.dim(0);
    const std::span<const Vec3> nodes = to_vec3s(flat_f64(nodes_arg));
    const std::span<const Element> connectivity = to_u32x4s(flat_u32(connectivity_arg));
    const Columns hext = pyarray_to_3cols(hext_arg);

    // Element centroids, the points where the field is evaluated. The number
    // of element groups must match the row count (a (2, 2) array holds one).
    assert_eq(connectivity.size(), count);
    std::vector<double> flat_centroids(3 * count, 0.0);
    const std::span<Vec3> centroid_records = to_vec3s_mut(flat_centroids);
    centroids(nodes, connectivity, centroid_records);
    Columns c(count);
    for (std::size_t i = 0; i < count; ++i) {
      c.x[i] = centroid_records[i].x;
      c.y[i] = centroid_records[i].y;
      c.z[i] = centroid_records[i].z;
    }

    const Solver solver = leaf_threshold == 0 ? Solver{Tet4Direct{nthreads}}
                                              : Solver{Tet4Octree{nthreads, theta, leaf_threshold}};
    const MagnetizationResult result =
        magnetization(nodes, connectivity, c, chi, hext, solver, tol, max_iterations, alpha, edge);

    Columns m(count);
    for (std::size_t i = 0; i < count; ++i) {
      m.x[i] = result.m[i].x;
      m.y[i] = result.m[i].y;
      m.z[i] = result.m[i].z;
    }
    PyRef m_array = cols_to_pyarray(m);
    PyRef h_array = cols_to_pyarray(result.h);
    return PyRef::checked(PyTuple_Pack(2, m_array.get(), h_array.get()));
  });
}

}  // namespace zandrel::py
