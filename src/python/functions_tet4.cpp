// Field functions of tetrahedral meshes: uniformly magnetised elements and
// elements carrying a uniform current density.
#include "core/functions/functions.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

ZANDREL_ENTRY(py_h_mag_tet4) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_h_mag_tet4, args, nargs, kwnames);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg connectivity = accept_array(a[1], "connectivity", DType::u32, 2);
    const ArrayArg mvectors = accept_array(a[2], "mvectors", DType::f64, 2);
    const ArrayArg targets = accept_array(a[3], "targets", DType::f64, 2);
    const double theta = to_f64(a[4], "theta");
    const std::uint32_t leaf_threshold = to_u32(a[5], "leaf_threshold");
    const std::uint32_t nthreads = to_u32(a[6], "nthreads_requested");
    const bool use_octree = to_bool(a[7], "use_octree");
    const bool edge = to_bool(a[8], "edge");

    // All three flat views first (contiguity), then their regroupings.
    const std::span<const double> nodes_flat = flat_f64(nodes);
    const std::span<const std::uint32_t> connectivity_flat = flat_u32(connectivity);
    const std::span<const double> mvectors_flat = flat_f64(mvectors);
    const std::span<const Vec3> n = to_vec3s(nodes_flat);
    const std::span<const Element> c = to_u32x4s(connectivity_flat);
    const std::span<const Vec3> m = to_vec3s(mvectors_flat);
    const Columns t = pyarray_to_3cols(targets);
    return cols_to_pyarray(functions::h_mag_tet4(n, c, connectivity.dim(0), m, t, theta, leaf_threshold, nthreads,
                                                 use_octree, edge));
  });
}

ZANDREL_ENTRY(py_h_current_tet4_direct) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_h_current_tet4_direct, args, nargs, kwnames);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg connectivity = accept_array(a[1], "connectivity", DType::u32, 2);
    const ArrayArg jdensity = accept_array(a[2], "jdensity", DType::f64, 2);
    const ArrayArg tgts = accept_array(a[3], "tgts", DType::f64, 2);
    const std::uint32_t nthreads = to_u32(a[4], "nthreads_requested");
    const bool edge = to_bool(a[5], "edge");

    const Columns t = pyarray_to_3cols(tgts);
    // Flat views without regrouping: every index is checked where it is used.
    const std::span<const double> nodes_flat = flat_f64(nodes);
    const std::span<const std::uint32_t> connectivity_flat = flat_u32(connectivity);
    const std::span<const double> jdensity_flat = flat_f64(jdensity);
    return cols_to_pyarray(
        functions::h_current_tet4_direct(nodes_flat, connectivity_flat, jdensity_flat, t, nthreads, edge));
  });
}

ZANDREL_ENTRY(py_h_current_tet4_octree) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_h_current_tet4_octree, args, nargs, kwnames);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg connectivity = accept_array(a[1], "connectivity", DType::u32, 2);
    const ArrayArg jdensity = accept_array(a[2], "jdensity", DType::f64, 2);
    const ArrayArg tgt_pts = accept_array(a[3], "tgt_pts", DType::f64, 2);
    const double theta = to_f64(a[4], "theta");
    const std::uint32_t leaf_threshold = to_u32(a[5], "leaf_threshold");
    const std::uint32_t nthreads = to_u32(a[6], "nthreads_requested");

    const std::span<const Vec3> n = to_vec3s(flat_f64(nodes));
    const std::span<const Element> c = to_u32x4s(flat_u32(connectivity));
    const Columns t = pyarray_to_3cols(tgt_pts);
    // The densities are viewed after the element measures are computed.
    return cols_to_pyarray(functions::h_current_tet4_octree(n, c, connectivity.dim(0),
                                                            [&] { return to_vec3s(flat_f64(jdensity)); }, t, theta,
                                                            leaf_threshold, nthreads));
  });
}

}  // namespace zandrel::py
