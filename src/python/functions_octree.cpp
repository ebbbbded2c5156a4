// Field functions evaluated through the Barnes-Hut octree only: point current
// elements and current-carrying tetrahedra. (The magnetic functions have an
// octree branch in their own entry points.)
#include <vector>

#include "core/octree/fields.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"

namespace zandrel::py {

const Signature sig_h_current_point_octree{
    "h_current_point_octree",
    {"src_pts", "src_vol", "src_jdensity", "tgt_pts", "theta", "leaf_threshold", "nthreads_requested"}};

ZANDREL_ENTRY(py_h_current_point_octree) {
  return guarded(module, [&] {
    PyObject* a[7];
    bind_arguments(sig_h_current_point_octree, args, nargs, kwnames, a);
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
    Columns out = col_buffer(t.size());
    h_current_point_octree(s, v, j, t, out, theta, leaf_threshold, nthreads);
    return cols_to_pyarray(out);
  });
}

const Signature sig_h_current_tet4_octree{
    "h_current_tet4_octree",
    {"nodes", "connectivity", "jdensity", "tgt_pts", "theta", "leaf_threshold", "nthreads_requested"}};

ZANDREL_ENTRY(py_h_current_tet4_octree) {
  return guarded(module, [&] {
    PyObject* a[7];
    bind_arguments(sig_h_current_tet4_octree, args, nargs, kwnames, a);
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
    Columns out = col_buffer(t.size());
    const ElementMeasures measures = element_measures(n, c, connectivity.dim(0));
    const std::span<const Vec3> j = to_vec3s(flat_f64(jdensity));
    h_current_tet4_octree(n, c, measures, j, t, out, theta, leaf_threshold, nthreads);
    return cols_to_pyarray(out);
  });
}

}  // namespace zandrel::py
