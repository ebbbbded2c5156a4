#pragma once
// Argument acceptance shared by every entry point: binding positional and
// keyword arguments to parameters with the interpreter's own wording for
// arity errors, and the scalar conversions with the "argument 'x': " prefix.
#include <cstdint>
#include <initializer_list>

#include "python/pyref.hpp"

namespace zandrel::py {

// The parameter list of one function: its name and parameter names in order.
struct Signature {
  const char* function;
  std::initializer_list<const char*> params;
};

// Binds args/kwnames (vectorcall form) to the parameters; slots receives one
// borrowed object per parameter. Raises TypeError for a missing argument, too
// many positionals, an unknown keyword or a parameter given twice.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// Re-raises a pending TypeError as "argument '<name>': <message>"; any other
// pending exception passes unchanged. Always throws PythonError.
[[noreturn]] void rethrow_with_argument_prefix(const char* name);

double to_f64(PyObject* obj, const char* name);
std::uint32_t to_u32(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);

}  // namespace zandrel::py
