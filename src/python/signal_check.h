// The stop callback that the core's interruptible waits ask: have signals arrived?
//
// Shared by the extension modules. A check runs the interpreter's pending signal handlers,
// attaching for a moment if the thread is detached. The first exception a handler raises
// (KeyboardInterrupt, say) is kept and raised in place of the interruption error that the
// answer causes. Used by the thread that created it; destroy it attached.
#ifndef LODESTACK_PYTHON_SIGNAL_CHECK_H_
#define LODESTACK_PYTHON_SIGNAL_CHECK_H_

#include <Python.h>

#include "python/ref.h"

namespace lodestack::python {

class SignalCheck final {
 public:
  bool operator()();
  bool captured() const { return static_cast<bool>(captured_); }
  // Raises the kept exception. Returns null.
  PyObject* raise_captured();

 private:
  Ref captured_;
};

}  // namespace lodestack::python

#endif  // LODESTACK_PYTHON_SIGNAL_CHECK_H_
