#pragma once
// The frame around every entry point: argument binding, Ctrl-C, and the one
// place where C++ failures become Python exceptions (Panic -> PanicException).
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "python/args.hpp"
#include "python/interrupts.hpp"
#include "python/pyref.hpp"

namespace zandrel::py {

using EntryFn = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One exported function: its parameter list (also its text signature), body
// and the text of its docstring after the signature.
struct FunctionDef {
  SignatureView signature;
  EntryFn entry;
  const char* doc = "";
};

// A module's method records, in the order given, then a null record. They
// must outlive the function objects: a module builds its table once per process.
struct MethodTable {
  std::vector<std::string> docs;
  std::vector<PyMethodDef> methods;

  explicit MethodTable(std::span<const FunctionDef> functions);
  // The records without the closing null one.
  std::span<const PyMethodDef> functions() const { return std::span(methods).first(methods.size() - 1); }
};

// Sets the module's PanicException with the given message.
void raise_panic(PyObject* module, const char* message);

// Runs body() -> PyRef and returns its new reference, or NULL with the
// matching Python exception set. Everything the body owns is released by
// RAII on the way out, so no failure leaks a reference or a buffer. While it
// runs, the core's checkpoints run the interpreter's signal handlers; an
// exception they raise (KeyboardInterrupt) ends the call.
template <class Body>
PyObject* guarded(PyObject* module, Body&& body) noexcept {
  const InterruptScope interrupts(signal_check_holding_gil());
  try {
    return body().release();
  } catch (const PythonError&) {
    return nullptr;
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const Panic& failure) {
    raise_panic(module, failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    raise_panic(module, failure.what());
  } catch (...) {
    raise_panic(module, "unknown internal failure");
  }
  return nullptr;
}

}  // namespace zandrel::py

// Declares an entry point with the vectorcall-with-keywords signature.
#define ZANDREL_ENTRY(name) \
  PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
