#pragma once
// Ownership of Python references and the escape path of a set Python error.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zandrel::py {

// Thrown once a Python exception has been set; the entry point returns NULL.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Owns one strong reference; released when it goes out of scope.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  // Adopts a new reference, throwing if the API call failed (returned NULL).
  static PyRef checked(PyObject* owned) {
    if (owned == nullptr) throw_python_error();
    return PyRef(owned);
  }
  static PyRef borrowed(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace zandrel::py
