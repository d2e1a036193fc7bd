#include "error/to_python.h"

#include <exception>
#include <new>
#include <string>

namespace lodestack {

namespace {

PyObject* class_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound: return PyExc_FileNotFoundError;
    case ErrorKind::kPermissionDenied: return PyExc_PermissionError;
    case ErrorKind::kConnectionRefused: return PyExc_ConnectionRefusedError;
    case ErrorKind::kConnectionReset: return PyExc_ConnectionResetError;
    case ErrorKind::kConnectionAborted: return PyExc_ConnectionAbortedError;
    case ErrorKind::kBrokenPipe: return PyExc_BrokenPipeError;
    case ErrorKind::kAlreadyExists: return PyExc_FileExistsError;
    case ErrorKind::kWouldBlock: return PyExc_BlockingIOError;
    case ErrorKind::kNotADirectory: return PyExc_NotADirectoryError;
    case ErrorKind::kIsADirectory: return PyExc_IsADirectoryError;
    case ErrorKind::kTimedOut: return PyExc_TimeoutError;
    case ErrorKind::kInterrupted: return PyExc_InterruptedError;
    case ErrorKind::kOutOfMemory: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

}  // namespace

PyObject* to_python(const Error& error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.type()) {
    case Error::Type::kIo: type = class_of(error.kind()); break;
    case Error::Type::kInvalid: type = PyExc_ValueError; break;
    case Error::Type::kLost: type = PyExc_RuntimeError; break;
  }
  const std::string text = error.text();
  // Texts carry paths: decode them as the file system does, so they read back as given.
  PyObject* const message =
      PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message == nullptr) return nullptr;
  PyObject* const exception = PyObject_CallOneArg(type, message);
  Py_DECREF(message);
  return exception;
}

PyObject* raise(const Error& error) {
  PyObject* const exception = to_python(error);
  if (exception != nullptr) PyErr_SetRaisedException(exception);
  return nullptr;
}

void raise_current_exception(PyObject* fault) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(fault, e.what());
  } catch (...) {
    PyErr_SetString(fault, "an unknown C++ exception");
  }
}

}  // namespace lodestack
