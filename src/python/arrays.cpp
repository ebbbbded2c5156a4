#define PY_ARRAY_UNIQUE_SYMBOL zandrel_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers, running on NumPy 1.22 and later as well.
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include "python/arrays.hpp"

#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "python/args.hpp"

namespace zandrel::py {
namespace {

// Imports the NumPy C API table on first use; a missing NumPy aborts the call.
void ensure_numpy() {
  if (PyArray_API != nullptr) return;
  if (_import_array() < 0) {
    std::string reason = "unknown error";
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef t(type), v(value), tb(traceback);
    if (v) {
      PyRef text(PyObject_Str(v.get()));
      const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      if (utf8) reason = utf8;
    }
    PyErr_Clear();
    panic("Failed to access NumPy array API capsule: " + reason);
  }
}

PyArrayObject* as_array(const ArrayArg& a) { return reinterpret_cast<PyArrayObject*>(a.get()); }

template <class T>
std::span<const T> flat_view(const ArrayArg& a) {
  PyArrayObject* arr = as_array(a);
  const auto size = static_cast<std::size_t>(PyArray_SIZE(arr));
  if (size == 0) return {};
  if (!PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISALIGNED(arr)) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    throw_python_error();
  }
  return {static_cast<const T*>(PyArray_DATA(arr)), size};
}

// Walks the rows through shape and strides, so any layout reads correctly.
template <class Row>
void for_each_point_row(const ArrayArg& a, Row&& row) {
  PyArrayObject* arr = as_array(a);
  const npy_intp n = PyArray_DIM(arr, 0);
  if (n == 0) return;
  if (PyArray_DIM(arr, 1) < 3) panic("ndarray: index out of bounds");
  const char* base = static_cast<const char*>(PyArray_DATA(arr));
  const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
  for (npy_intp i = 0; i < n; ++i) {
    double v[3];
    for (int k = 0; k < 3; ++k) std::memcpy(&v[k], base + i * s0 + k * s1, sizeof(double));
    row(static_cast<std::size_t>(i), v[0], v[1], v[2]);
  }
}

template <class T>
PyRef array_1d(std::span<const T> values, int typenum) {
  ensure_numpy();
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyRef out = PyRef::checked(PyArray_SimpleNew(1, dims, typenum));
  if (!values.empty())
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())), values.data(), values.size_bytes());
  return out;
}

}  // namespace

std::size_t ArrayArg::dim(int axis) const {
  return axis < ndim() ? static_cast<std::size_t>(PyArray_DIM(as_array(*this), axis)) : 0;
}
int ArrayArg::ndim() const { return PyArray_NDIM(as_array(*this)); }

ArrayArg accept_array(PyObject* obj, const char* name, DType dtype, int ndim) {
  ensure_numpy();
  const char* dtype_name = dtype == DType::f64 ? "float64" : "uint32";
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to a %d-dimensional %s ndarray",
                 Py_TYPE(obj)->tp_name, ndim, dtype_name);
    rethrow_with_argument_prefix(name);
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* wanted = PyArray_DescrFromType(dtype == DType::f64 ? NPY_FLOAT64 : NPY_UINT32);
  const bool same_type = PyArray_EquivTypes(PyArray_DESCR(arr), wanted);
  Py_DECREF(wanted);
  if (!same_type || PyArray_NDIM(arr) != ndim) {
    PyRef shown = PyRef::checked(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
    PyErr_Format(PyExc_TypeError, "expected a %d-dimensional ndarray of native %s, got %d-dimensional %U",
                 ndim, dtype_name, PyArray_NDIM(arr), shown.get());
    rethrow_with_argument_prefix(name);
  }
  return ArrayArg(PyRef::borrowed(obj));
}

bool is_numpy_bool(PyObject* obj) {
  ensure_numpy();
  return PyArray_IsScalar(obj, Bool);
}

std::span<const double> flat_f64(const ArrayArg& a) { return flat_view<double>(a); }
std::span<const std::uint32_t> flat_u32(const ArrayArg& a) { return flat_view<std::uint32_t>(a); }

std::span<const Vec3> to_vec3s(std::span<const double> flat) {
  assert_eq(flat.size() % 3, 0);
  return {reinterpret_cast<const Vec3*>(flat.data()), flat.size() / 3};
}
std::span<Vec3> to_vec3s_mut(std::span<double> flat) {
  assert_eq(flat.size() % 3, 0);
  return {reinterpret_cast<Vec3*>(flat.data()), flat.size() / 3};
}
std::span<const Element> to_u32x4s(std::span<const std::uint32_t> flat) {
  assert_eq(flat.size() % 4, 0);
  return {reinterpret_cast<const Element*>(flat.data()), flat.size() / 4};
}

std::vector<Vec3> pyarray_to_vec3(const ArrayArg& a) {
  std::vector<Vec3> out;
  out.reserve(a.dim(0));
  for_each_point_row(a, [&](std::size_t, double x, double y, double z) { out.push_back({x, y, z}); });
  return out;
}

Columns pyarray_to_3cols(const ArrayArg& a) {
  Columns out;
  const std::size_t n = a.dim(0);
  out.x.reserve(n);
  out.y.reserve(n);
  out.z.reserve(n);
  for_each_point_row(a, [&](std::size_t, double x, double y, double z) {
    out.x.push_back(x);
    out.y.push_back(y);
    out.z.push_back(z);
  });
  return out;
}

PyRef cols_to_pyarray(const Columns& cols) {
  assert_eq(cols.x.size(), cols.y.size());
  assert_eq(cols.x.size(), cols.z.size());
  ensure_numpy();
  const std::size_t n = cols.size();
  npy_intp dims[2] = {static_cast<npy_intp>(n), 3};
  PyRef out = PyRef::checked(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  for (std::size_t i = 0; i < n; ++i) {
    data[3 * i] = cols.x[i];
    data[3 * i + 1] = cols.y[i];
    data[3 * i + 2] = cols.z[i];
  }
  return out;
}

PyRef f64_array_1d(std::span<const double> values) { return array_1d(values, NPY_FLOAT64); }
PyRef u32_array_1d(std::span<const std::uint32_t> values) { return array_1d(values, NPY_UINT32); }

PyRef reshape_2d(const PyRef& array, std::size_t rows, std::size_t cols) {
  ensure_numpy();
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyArray_Dims shape = {dims, 2};
  return PyRef::checked(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(array.get()), &shape, NPY_CORDER));
}

}  // namespace zandrel::py
