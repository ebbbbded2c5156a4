#pragma once
// Argument acceptance shared by every entry point: binding positional and
// keyword arguments to parameters with the interpreter's own wording for
// arity errors, and the scalar conversions with the "argument 'x': " prefix.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "python/pyref.hpp"

namespace zandrel::py {

// The parameter list of one function: its name and parameter names in order.
// N, the number of parameters, sizes everything that holds the arguments.
template <std::size_t N>
struct Signature {
  const char* function;
  const char* params[N];
};

// A signature whatever its length, for the method table and the binder.
struct SignatureView {
  const char* function;
  std::span<const char* const> params;
};

template <std::size_t N>
constexpr SignatureView view(const Signature<N>& sig) {
  return {sig.function, sig.params};
}

// Binds args/kwnames (vectorcall form) to the parameters; slots receives one
// borrowed object per parameter. Raises TypeError for a missing argument, too
// many positionals, an unknown keyword or a parameter given twice.
// A function's docstring: its text signature "name(a, b, ...)\n--\n\n", then `text`.
std::string method_doc(SignatureView sig, const char* text = "");

void bind_arguments(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

// The arguments of a call, one borrowed object per parameter of sig.
template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  bind_arguments(view(sig), args, nargs, kwnames, slots);
  return slots;
}

// Re-raises a pending TypeError as "argument '<name>': <message>"; any other
// pending exception passes unchanged. Always throws PythonError.
[[noreturn]] void rethrow_with_argument_prefix(const char* name);

double to_f64(PyObject* obj, const char* name);
std::uint32_t to_u32(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);

}  // namespace zandrel::py
