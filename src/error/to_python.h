// Turns an `Error` into the Python exception that stands for it.
//
// Io errors become OSError or the subclass for their kind (FileNotFoundError for
// NotFound, ...), built from one argument, the error's text; Invalid becomes ValueError
// and Lost RuntimeError. The exception is returned, not raised.
#ifndef LODESTACK_ERROR_TO_PYTHON_H_
#define LODESTACK_ERROR_TO_PYTHON_H_

#include <Python.h>

#include "error/error.h"

namespace lodestack {

// A new reference to the exception, or null with another exception set (such as
// MemoryError) when it cannot be made. REQUIRES: attached.
PyObject* to_python(const Error& error);

// Raises to_python(error). Always returns null, for `return raise(error);`.
PyObject* raise(const Error& error);

// Raises the C++ exception being handled as Python sees it: MemoryError for bad_alloc,
// else `fault` with the exception's text. REQUIRES: attached, inside a catch block.
void raise_current_exception(PyObject* fault);

}  // namespace lodestack

#endif  // LODESTACK_ERROR_TO_PYTHON_H_
