// The magnetisation solver: self-consistent magnetisation of a linear
// material meshed with tetrahedra in an applied field.
#include <string>

#include "core/functions/functions.hpp"
#include "core/solver/magnetization.hpp"
#include "core/solver/progress.hpp"
#include "python/arrays.hpp"
#include "python/functions.hpp"
#include "python/interrupts.hpp"

namespace zandrel::py {
namespace {

// The progress line goes to file descriptor 1 without the interpreter lock:
// where a Python thread drains a pipe behind it (a Jupyter kernel capturing
// output), that thread must be able to run while the write waits for room.
void write_line_without_gil(void*, const std::string& line) {
  const GilReleased released;
  write_stdout(line);
}

// A diverged iteration is a floating-point failure of the computation, not a
// bad argument or an aborted internal check: FloatingPointError, an ordinary
// Exception (ArithmeticError) that callers can catch.
template <class Solve>
auto diverging_as_floating_point_error(Solve&& solve) {
  try {
    return solve();
  } catch (const NonFiniteMagnetization& failure) {
    PyErr_SetString(PyExc_FloatingPointError, failure.what());
    throw_python_error();
  }
}

}  // namespace

ZANDREL_ENTRY(py_magnetization_tet4) {
  return guarded(module, [&] {
    const auto a = bind_arguments(sig_magnetization_tet4, args, nargs, kwnames);
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

    const std::span<const Vec3> nodes = to_vec3s(flat_f64(nodes_arg));
    const std::span<const Element> connectivity = to_u32x4s(flat_u32(connectivity_arg));
    const Columns hext = pyarray_to_3cols(hext_arg);
    const functions::Magnetization result = diverging_as_floating_point_error([&] {
      return functions::magnetization_tet4(nodes, connectivity, connectivity_arg.dim(0), chi, hext, tol,
                                           max_iterations, theta, leaf_threshold, alpha, nthreads, edge,
                                           ProgressSink{&write_line_without_gil, nullptr});
    });
    PyRef m_array = cols_to_pyarray(result.m);
    PyRef h_array = cols_to_pyarray(result.h);
    return PyRef::checked(PyTuple_Pack(2, m_array.get(), h_array.get()));
  });
}

}  // namespace zandrel::py
