#include "python/signal_check.h"

namespace lodestack::python {

bool SignalCheck::operator()() {
  if (captured_) return true;
  Attached attached;
  if (PyErr_CheckSignals() < 0) {
    captured_ = Ref::steal(PyErr_GetRaisedException());
    return true;
  }
  return false;
}

PyObject* SignalCheck::raise_captured() {
  PyErr_SetRaisedException(captured_.release());
  return nullptr;
}

}  // namespace lodestack::python
