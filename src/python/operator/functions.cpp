// Entry points of zandrel._operator. Arguments arrive already converted by
// the package (float64 / uint32, C-contiguous); the checks here only guard
// the native code.
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/operator/field_operator.hpp"
#include "python/operator/functions.hpp"
#include "python/interrupts.hpp"
#include "python/arrays.hpp"

namespace zandrel::py {
namespace {

constexpr const char* handle_name = "zandrel._operator.FieldOperator";

// What a handle owns: the operator and the plan of its rows.
struct Handle {
  FieldOperator op;
  TargetPlan rows;
  std::vector<std::uint32_t> row_ids;  // empty: every element
};

void destroy_handle(PyObject* capsule) {
  delete static_cast<Handle*>(PyCapsule_GetPointer(capsule, handle_name));
}

const Handle& handle_of(PyObject* obj) {
  void* p = PyCapsule_GetPointer(obj, handle_name);
  if (p == nullptr) rethrow_with_argument_prefix("handle");
  return *static_cast<const Handle*>(p);
}

// (E, 3) float64 magnetisations of the handle's mesh, read in place.
std::span<const double> magnetisation(const Handle& h, PyObject* obj) {
  const ArrayArg m = accept_array(obj, "m", DType::f64, 2);
  const std::span<const double> flat = flat_f64(m);
  if (m.dim(0) != h.op.n_elements() || m.dim(1) != 3) {
    PyErr_Format(PyExc_ValueError, "argument 'm': expected shape (%zu, 3)", h.op.n_elements());
    throw_python_error();
  }
  return flat;
}

}  // namespace

ZANDREL_ENTRY(py_build) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_build, args, nargs, kwnames);
    const ArrayArg nodes = accept_array(a[0], "nodes", DType::f64, 2);
    const ArrayArg elements = accept_array(a[1], "elements", DType::u32, 2);
    // rows: None (every centroid), element indices (their centroids) or points (T, 3).
    std::vector<std::uint32_t> rows;
    Columns points;
    const bool all_rows = a[2] == Py_None;
    bool at_points = false;
    if (!all_rows) {
      PyRef ndim = PyRef::checked(PyObject_GetAttrString(a[2], "ndim"));
      at_points = PyLong_AsLong(ndim.get()) == 2;
      if (at_points) {
        points = pyarray_to_3cols(accept_array(a[2], "rows", DType::f64, 2));
      } else {
        const std::span<const std::uint32_t> flat = flat_u32(accept_array(a[2], "rows", DType::u32, 1));
        rows.assign(flat.begin(), flat.end());
      }
    }
    OperatorParams params;
    params.order = static_cast<int>(to_u32(a[3], "order"));
    params.theta = to_f64(a[4], "theta");
    params.inner_factor = to_f64(a[5], "inner_factor");
    params.outer_factor = to_f64(a[6], "outer_factor");
    params.rule_degree = static_cast<int>(to_u32(a[7], "rule_degree"));
    params.exact_math = to_bool(a[8], "exact_math");
    params.store_near = to_bool(a[9], "store_near");
    params.single_direct = to_bool(a[10], "single_direct");
    params.leaf_size = to_u32(a[11], "leaf_size");
    params.target_leaf_size = to_u32(a[12], "target_leaf_size");
    params.max_bytes_per_element = to_f64(a[13], "max_bytes_per_element");
    const std::uint32_t threads = to_u32(a[14], "threads");

    const std::span<const Vec3> n = to_vec3s(flat_f64(nodes));
    const std::span<const Element> e = to_u32x4s(flat_u32(elements));
    for (const Element& el : e)
      for (const std::uint32_t i : el) check_index(i, n.size());
    for (const std::uint32_t r : rows) check_index(r, e.size());

    std::unique_ptr<Handle> h;
    compute_without_gil([&] {
      FieldOperator op(n, e, params, threads);
      TargetPlan plan = at_points ? op.plan_points(points, true) : op.plan_rows(rows, all_rows);
      h.reset(new Handle{std::move(op), std::move(plan), std::move(rows)});
    });
    PyRef capsule = PyRef::checked(PyCapsule_New(h.get(), handle_name, destroy_handle));
    h.release();
    return capsule;
  });
}

ZANDREL_ENTRY(py_apply) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_apply, args, nargs, kwnames);
    const Handle& h = handle_of(a[0]);
    const std::span<const double> m = magnetisation(h, a[1]);
    Columns out(h.rows.n_targets);
    compute_without_gil([&] { h.op.apply(h.rows, m, out); });
    return cols_to_pyarray(out);
  });
}

ZANDREL_ENTRY(py_field) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_field, args, nargs, kwnames);
    const Handle& h = handle_of(a[0]);
    const std::span<const double> m = magnetisation(h, a[1]);
    const Columns targets = pyarray_to_3cols(accept_array(a[2], "targets", DType::f64, 2));
    Columns out(targets.size());
    compute_without_gil([&] {
      const TargetPlan plan = h.op.plan_points(targets, false);
      h.op.apply(plan, m, out);
    });
    return cols_to_pyarray(out);
  });
}

ZANDREL_ENTRY(py_self_tensors) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_self_tensors, args, nargs, kwnames);
    const Handle& h = handle_of(a[0]);
    const std::span<const std::uint32_t> rows = flat_u32(accept_array(a[1], "rows", DType::u32, 1));
    for (const std::uint32_t r : rows) check_index(r, h.op.n_elements());
    std::vector<double> out(9 * rows.size());
    compute_without_gil([&] { h.op.self_tensors(rows, out); });
    PyRef flat = f64_array_1d(out);
    return reshape_2d(flat, rows.size(), 9);
  });
}

ZANDREL_ENTRY(py_info) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_info, args, nargs, kwnames);
    const Handle& h = handle_of(a[0]);
    const TargetPlan& p = h.rows;
    const auto n = [](std::size_t v) { return static_cast<Py_ssize_t>(v); };
    return PyRef::checked(Py_BuildValue(
        "{s:n,s:n,s:n,s:n,s:n,s:n,s:n,s:n,s:O,s:n,s:n,s:n}", "elements", n(h.op.n_elements()), "rows", n(p.n_targets),
        "target_cells", n(p.tree.cells.size()), "target_leaves", n(p.tree.leaves.size()), "m2l_pairs",
        n(p.m2l_pairs), "direct_pairs", n(p.p2p_pairs), "near_pairs", n(p.near_pairs), "computed_near_pairs",
        n(p.computed_pairs), "memory_limited", p.computed.empty() ? Py_False : Py_True, "rotations",
        n(p.n_rotations), "operator_bytes", n(h.op.memory_bytes() + p.memory_bytes() + h.row_ids.capacity() * 4),
        "apply_workspace_bytes", n(h.op.apply_workspace_bytes(p))));
  });
}

}  // namespace zandrel::py
