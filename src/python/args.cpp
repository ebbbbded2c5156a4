#include "python/args.hpp"

#include <string>
#include <vector>

#include "python/arrays.hpp"
#include "python/entry.hpp"

namespace zandrel::py {
namespace {

[[noreturn]] void type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_python_error();
}

bool keyword_matches(PyObject* key, const char* name) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

std::string quoted_list(const std::vector<const char*>& names) {
  // 'a', 'b' and 'c': the interpreter's listing of missing parameters.
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

}  // namespace

std::string method_doc(SignatureView sig, const char* text) {
  std::string doc = std::string(sig.function) + "(";
  bool first = true;
  for (const char* param : sig.params) {
    if (!first) doc += ", ";
    doc += param;
    first = false;
  }
  return doc + ")\n--\n\n" + text;
}

MethodTable::MethodTable(std::span<const FunctionDef> functions) {
  docs.reserve(functions.size());
  for (const FunctionDef& def : functions) docs.push_back(method_doc(def.signature, def.doc));
  for (std::size_t i = 0; i < functions.size(); ++i)
    methods.push_back(PyMethodDef{functions[i].signature.function,
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(functions[i].entry)),
                                  METH_FASTCALL | METH_KEYWORDS, docs[i].c_str()});
  methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
}

void bind_arguments(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  const std::span<const char* const> params = sig.params;
  const auto nparams = static_cast<Py_ssize_t>(params.size());
  const Py_ssize_t npos = PyVectorcall_NARGS(nargs);
  if (npos > nparams) {
    type_error(std::string(sig.function) + "() takes " + std::to_string(nparams) + " positional argument" +
               (nparams == 1 ? "" : "s") + " but " + std::to_string(npos) +
               (npos == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) slots[i] = i < npos ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < nparams && found < 0; ++i)
      if (keyword_matches(key, params[i])) found = i;
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      throw_python_error();
    }
    if (slots[found] != nullptr) {
      type_error(std::string(sig.function) + "() got multiple values for argument '" + params[found] + "'");
    }
    slots[found] = args[npos + k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < nparams; ++i)
    if (slots[i] == nullptr) missing.push_back(params[i]);
  if (!missing.empty()) {
    type_error(std::string(sig.function) + "() missing " + std::to_string(missing.size()) +
               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
               quoted_list(missing));
  }
}

void rethrow_with_argument_prefix(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef t(type), v(value), tb(traceback);
    PyRef text(v ? PyObject_Str(v.get()) : nullptr);
    if (!text) throw_python_error();
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  }
  throw_python_error();
}

double to_f64(PyObject* obj, const char* name) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) rethrow_with_argument_prefix(name);
  return value;
}

std::uint32_t to_u32(PyObject* obj, const char* name) {
  // The integer protocol first (its own OverflowError beyond 64 bits), then
  // the range of an unsigned 32-bit count.
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) rethrow_with_argument_prefix(name);
  if (value < 0 || value > 4294967295LL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw_python_error();
  }
  return static_cast<std::uint32_t>(value);
}

bool to_bool(PyObject* obj, const char* name) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) rethrow_with_argument_prefix(name);
    return truth == 1;
  }
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", Py_TYPE(obj)->tp_name);
  rethrow_with_argument_prefix(name);
}

}  // namespace zandrel::py
