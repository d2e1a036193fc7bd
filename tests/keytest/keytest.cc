// _keytest: a test-only extension module that exposes the sort key encoding to Python, so
// that tests can hold key bytes against Python's own comparisons and the benchmark can time
// the encoder without the rest of a sorter around it.
//
// Built only by the developer build and staged next to the package (build/<dir>/pkg); it is
// never installed or shipped. It has no state and does not need the GIL.
#include <Python.h>

#include <new>

#include "key/bytes.h"
#include "python/encode.h"

namespace {

using lodestack::Bytes;
using lodestack::python::encode_key;

PyObject* keytest_encode(PyObject* /*module*/, PyObject* key) {
  try {
    Bytes buffer;
    if (encode_key(key, buffer, 0) < 0) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<char const*>(buffer.data()),
                                     static_cast<Py_ssize_t>(buffer.size()));
  } catch (std::bad_alloc const&) {
    return PyErr_NoMemory();
  }
}

// Encodes every key of a list into one reused buffer and drops the bytes: the per-key cost
// of encoding alone, as a sorter pays it when adding.
PyObject* keytest_encode_many(PyObject* /*module*/, PyObject* keys) {
  if (!PyList_Check(keys)) {
    PyErr_Format(PyExc_TypeError, "encode_many expects a list, not %T", keys);
    return nullptr;
  }
  // A tuple snapshot keeps the loop free of list locking, which is not what is measured.
  PyObject* const snapshot = PySequence_Tuple(keys);
  if (snapshot == nullptr) return nullptr;
  int status = 0;
  try {
    Bytes buffer;
    buffer.reserve(64);
    Py_ssize_t const size = PyTuple_GET_SIZE(snapshot);
    for (Py_ssize_t i = 0; i < size && status == 0; ++i) {
      buffer.clear();
      status = encode_key(PyTuple_GET_ITEM(snapshot, i), buffer, 0);
    }
  } catch (std::bad_alloc const&) {
    PyErr_NoMemory();
    status = -1;
  }
  Py_DECREF(snapshot);
  if (status < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef keytest_methods[] = {
    {"encode", keytest_encode, METH_O,
     "encode($module, key, /)\n--\n\nThe key bytes of `key`, as a sorter would hold them."},
    {"encode_many", keytest_encode_many, METH_O,
     "encode_many($module, keys, /)\n--\n\nEncode every key of a list, keeping nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot keytest_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef keytest_module = {
    PyModuleDef_HEAD_INIT,
    "_keytest",
    "Test-only access to lodestack's sort key encoding.",
    0,
    keytest_methods,
    keytest_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__keytest() { return PyModuleDef_Init(&keytest_module); }
