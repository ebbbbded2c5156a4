// The extension module: multi-phase initialisation, no module state. The
// execution step registers the functions in a fixed order (which is also the
// order of __all__) and the PanicException type.
#include <array>
#include <string>
#include <vector>

#include "python/functions.hpp"

namespace zandrel::py {
namespace {

#define ZANDREL_FUNCTION(name) FunctionDef{view(sig_##name), &py_##name}
// Registration order.
const std::array registered_functions = {
    ZANDREL_FUNCTION(h_current_point_direct),
    ZANDREL_FUNCTION(h_current_point_octree),
    ZANDREL_FUNCTION(h_current_tet4_direct),
    ZANDREL_FUNCTION(h_current_tet4_octree),
    ZANDREL_FUNCTION(h_mag_point),
    ZANDREL_FUNCTION(h_mag_tet4),
    ZANDREL_FUNCTION(magnetization_tet4),
    ZANDREL_FUNCTION(mesh_centroids),
    ZANDREL_FUNCTION(mesh_volumes),
    ZANDREL_FUNCTION(mesh_surface_faces),
    ZANDREL_FUNCTION(mesh_surface_face_properties),
    ZANDREL_FUNCTION(mesh_surface_forces),
    ZANDREL_FUNCTION(_mesh_surface_tets),
    ZANDREL_FUNCTION(mesh_kelvin_force_density),
};
#undef ZANDREL_FUNCTION

// Built once per process from the signatures (docstring = text signature only).
const MethodTable& method_table() {
  static const MethodTable table(registered_functions);
  return table;
}

// Adds obj under name and appends name to __all__ (created if absent).
int add_exported(PyObject* module, const char* name, PyObject* obj) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, obj);
}

int exec_module(PyObject* module) {
  try {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (const PyMethodDef& def : method_table().functions()) {
      PyRef fn(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def), module, module_name.get()));
      if (!fn || add_exported(module, def.ml_name, fn.get()) < 0) return -1;
    }
  } catch (const std::exception&) {
    PyErr_NoMemory();
    return -1;
  }
  // Derived directly from BaseException, so "except Exception" does not
  // swallow an aborted call. Reachable as an attribute, not in __all__.
  PyRef panic(PyErr_NewExceptionWithDoc("_zandrel.PanicException",
                                        "A call of this module was aborted by a failed internal check.",
                                        PyExc_BaseException, nullptr));
  if (!panic) return -1;
  return PyModule_AddObjectRef(module, "PanicException", panic.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_zandrel", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

void raise_panic(PyObject* module, const char* message) {
  PyRef type(PyObject_GetAttrString(module, "PanicException"));
  if (!type) return;  // the AttributeError stands instead
  PyErr_SetString(type.get(), message);
}

}  // namespace zandrel::py

PyMODINIT_FUNC PyInit__zandrel(void) { return PyModuleDef_Init(&zandrel::py::module_def); }
