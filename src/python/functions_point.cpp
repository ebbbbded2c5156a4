// Point-source field functions: dipoles (magnetised volume elements) and
// current elements.
#include "core/functions/functions.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

ZANDREL_ENTRY(py_h_mag_point) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_h_mag_point, args, nargs, kwnames);
    const ArrayArg centroids = accept_array(a[0], "centroids", DType::f64, 2);
    const ArrayArg volumes = accept_array(a[1], "volumes", DType::f64, 1);
    const ArrayArg mvectors = accept_array(a[2], "mvectors", DType::f64, 2);
    const ArrayArg targets = accept_array(a[3], "targets", DType::f64, 2);
    const double theta = to_f64(a[4], "theta");
    const std::uint32_t leaf_threshold = to_u32(a[5], "leaf_threshold");
    const std::uint32_t nthreads = to_u32(a[6], "nthreads_requested");
    const bool use_octree = to_bool(a[7], "use_octree");
    // The two branches read the arrays in different orders: the function
    // asks for each when it needs it.
    return cols_to_pyarray(functions::h_mag_point(
        {[&] { return pyarray_to_3cols(centroids); }, [&] { return flat_f64(volumes); },
         [&] { return pyarray_to_3cols(mvectors); }, [&] { return pyarray_to_3cols(targets); }},
        targets.dim(0), theta, leaf_threshold, nthreads, use_octree));
  });
}

ZANDREL_ENTRY(py_h_current_point_direct) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_h_current_point_direct, args, nargs, kwnames);
    const ArrayArg src_pts = accept_array(a[0], "src_pts", DType::f64, 2);
    const ArrayArg src_vol = accept_array(a[1], "src_vol", DType::f64, 1);
    const ArrayArg src_jdensity = accept_array(a[2], "src_jdensity", DType::f64, 2);
    const ArrayArg tgt_pts = accept_array(a[3], "tgt_pts", DType::f64, 2);
    const std::uint32_t nthreads = to_u32(a[4], "nthreads_requested");

    const Columns s = pyarray_to_3cols(src_pts);
    const std::span<const double> v = flat_f64(src_vol);
    const Columns j = pyarray_to_3cols(src_jdensity);
    const Columns t = pyarray_to_3cols(tgt_pts);
    return cols_to_pyarray(functions::h_current_point_direct(s, v, j, t, nthreads));
  });
}

ZANDREL_ENTRY(py_h_current_point_octree) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_h_current_point_octree, args, nargs, kwnames);
    const ArrayArg src_pts = accept_array(a[0], "src_pts", DType::f64, 2);
    const ArrayArg src_vol = accept_array(a[1], "src_vol", DType::f64, 1);
    const ArrayArg src_jdensity = accept_array(a[2], "src_jdensity", DType::f64, 2);
    const ArrayArg tgt_pts = accept_array(a[3], "tgt_pts", DType::f64, 2);
    const double theta = to_f64(a[4], "theta");
    const std::uint32_t leaf_threshold = to_u32(a[5], "leaf_threshold");
    const std::uint32_t nthreads = to_u32(a[6], "nthreads_requested");

    const std::span<const double> v = flat_f64(src_vol);
    const Columns s = pyarray_to_3cols(src_pts);
    const Columns j = pyarray_to_3cols(src_jdensity);
    const Columns t = pyarray_to_3cols(tgt_pts);
    return cols_to_pyarray(functions::h_current_point_octree(s, v, j, t, theta, leaf_threshold, nthreads));
  });
}

}  // namespace zandrel::py
