#include "python/interrupts.hpp"

namespace zandrel::py {
namespace {

bool signals_raised_holding_gil(void*) { return PyErr_CheckSignals() != 0; }

bool signals_raised_without_gil(void* context) {
  PyThreadState*& state = *static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(state);
  const bool raised = PyErr_CheckSignals() != 0;
  state = PyEval_SaveThread();
  return raised;
}

}  // namespace

InterruptCheck signal_check_holding_gil() { return {&signals_raised_holding_gil, nullptr}; }

InterruptCheck GilReleased::signal_check() { return {&signals_raised_without_gil, &state_}; }

}  // namespace zandrel::py
