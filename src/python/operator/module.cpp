// The extension module zandrel._operator: the reusable field operator of a
// tetrahedral mesh, held by Python through an opaque handle (a capsule that
// owns the native operator). The package's FieldOperator wraps it; the
// functions here only convert arguments, release the interpreter lock and
// call the core.
#include <array>

#include "python/operator/functions.hpp"

namespace zandrel::py {
namespace {

#define ZANDREL_FUNCTION(name, doc) FunctionDef{view(sig_##name), &py_##name, doc}
const std::array registered = {
    ZANDREL_FUNCTION(build, "Builds the operator of a mesh; returns its handle."),
    ZANDREL_FUNCTION(apply, "H (rows, 3) at the operator's rows from M (E, 3)."),
    ZANDREL_FUNCTION(field, "H (T, 3) at arbitrary targets from M (E, 3)."),
    ZANDREL_FUNCTION(self_tensors, "Field per unit magnetisation (R, 3, 3) of elements at their centroids."),
    ZANDREL_FUNCTION(info, "Sizes and memory of an operator, as a dict."),
};
#undef ZANDREL_FUNCTION

const MethodTable& method_table() {
  static const MethodTable table(registered);
  return table;
}

int exec_module(PyObject* module) {
  try {
    return PyModule_AddFunctions(module, const_cast<PyMethodDef*>(method_table().methods.data()));
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return -1;
  }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_operator",
    "Native field operator of tetrahedral meshes (use zandrel.FieldOperator).",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// A failed internal check of the operator is a bug, not a user error.
void raise_panic(PyObject* /*module*/, const char* message) { PyErr_SetString(PyExc_RuntimeError, message); }

}  // namespace zandrel::py

PyMODINIT_FUNC PyInit__operator(void) { return PyModuleDef_Init(&zandrel::py::module_def); }
