// Point-source field functions: dipoles (magnetised volume elements) and
// current elements, by direct summation over all sources.

#include "core/direct/direct.hpp"
#include "core/octree/fields.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

const Signature sig_h_mag_point{
    "h_mag_point",
    {"centroids", "volumes", "mvectors", "targets", "theta", "leaf_threshold", "nthreads_requested", "use_octree"}};

ZANDREL_ENTRY(py_h_mag_point) {
  return guarded(module, [&] {
    PyObject* a[8];
    bind_arguments(sig_h_mag_point, args, nargs, kwnames, a);
    const ArrayArg centroids = accept_array(a[0], "centroids", DType::f64, 2);
    const ArrayArg volumes = accept_array(a[1], "volumes", DType::f64, 1);
    const ArrayArg mvectors = accept_array(a[2], "mvectors", DType::f64, 2);
    const ArrayArg targets = accept_array(a[3], "targets", DType::f64, 2);
    const double theta = to_f64(a[4], "theta");
    const std::uint32_t leaf_threshold = to_u32(a[5], "leaf_threshold");
    const std::uint32_t nthreads = to_u32(a[6], "nthreads_requested");
    const bool use_octree = to_bool(a[7], "use_octree");

    Columns out = col_buffer(targets.dim(0));
    if (use_octree) {
      const Columns t = pyarray_to_3cols(targets);
      const Columns c = pyarray_to_3cols(centroids);
      const Columns m = pyarray_to_3cols(mvectors);
      h_mag_point_octree(c, flat_f64(volumes), m, t, out, theta, leaf_threshold, nthreads);
      return cols_to_pyarray(out);
    }
    const std::vector<Vec3> c = pyarray_to_vec3(centroids);
    const std::span<const double> v = flat_f64(volumes);
    const std::vector<Vec3> m = pyarray_to_vec3(mvectors);
    const Columns t = pyarray_to_3cols(targets);
    h_mag_point_direct_parallel(c, v, m, t, out, nthreads);
    return cols_to_pyarray(out);
  });
}

const Signature sig_h_current_point_direct{
    "h_current_point_direct", {"src_pts", "src_vol", "src_jdensity", "tgt_pts", "nthreads_requested"}};

ZANDREL_ENTRY(py_h_current_point_direct) {
  return guarded(module, [&] {
    PyObject* a[5];
    bind_arguments(sig_h_current_point_direct, args, nargs, kwnames, a);
    const ArrayArg src_pts = accept_array(a[0], "src_pts", DType::f64, 2);
    const ArrayArg src_vol = accept_array(a[1], "src_vol", DType::f64, 1);
    const ArrayArg src_jdensity = accept_array(a[2], "src_jdensity", DType::f64, 2);
    const ArrayArg tgt_pts = accept_array(a[3], "tgt_pts", DType::f64, 2);
    const std::uint32_t nthreads = to_u32(a[4], "nthreads_requested");

    const Columns s = pyarray_to_3cols(src_pts);
    const std::span<const double> v = flat_f64(src_vol);
    const Columns j = pyarray_to_3cols(src_jdensity);
    const Columns t = pyarray_to_3cols(tgt_pts);
    Columns out = col_buffer(t.size());
    h_current_point_direct_parallel(s, v, j, t, out, nthreads);
    return cols_to_pyarray(out);
  });
}

}  // namespace zandrel::py
