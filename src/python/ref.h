// Owners for Python references and for the thread's attachment to the interpreter.
//
// `Ref` owns one strong reference and drops it on destruction, so a reference is never
// leaked on an early return. A `Ref` must be destroyed on an attached thread.
//
// `Detached` lets go of the interpreter for a scope (PyEval_SaveThread) and takes it back
// at the end; no Python API may be used inside. Waits for a lock, a channel or a thread
// run detached, so that a thread blocked in them never holds up the interpreter (or, in
// the default build, the GIL) that the thread it waits for may need. `Attached` is the
// other way round: a moment of attachment from code that may run detached, for a signal
// check.
#ifndef LODESTACK_PYTHON_REF_H_
#define LODESTACK_PYTHON_REF_H_

#include <Python.h>

#include <utility>

namespace lodestack::python {

class Ref final {
 public:
  Ref() = default;
  // Takes over a new reference (which may be null).
  static Ref steal(PyObject* object) { return Ref(object); }
  // Adds a reference of its own to a borrowed one.
  static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Gives up ownership: the caller now holds the reference.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

class Detached final {
 public:
  Detached() : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* const state_;
};

// Works whether or not the thread is attached: attached already, it changes nothing.
class Attached final {
 public:
  Attached() : state_(PyGILState_Ensure()) {}
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  ~Attached() { PyGILState_Release(state_); }

 private:
  const PyGILState_STATE state_;
};

}  // namespace lodestack::python

#endif  // LODESTACK_PYTHON_REF_H_
