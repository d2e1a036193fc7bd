// The walk over Python key values that turns a sort key into key bytes.
//
// `encode_key` decides the value's kind and appends its order-preserving encoding
// (src/key/key.h) to `buffer`, so that comparing two encodings as unsigned bytes gives
// the order in which Python compares the two values. It calls back into the interpreter
// (operator.index, str.encode, int.to_bytes) and must run on an attached thread, holding
// no lock of the sorter.
#ifndef LODESTACK_PYTHON_ENCODE_H_
#define LODESTACK_PYTHON_ENCODE_H_

#include <Python.h>

#include <string>

#include "key/bytes.h"

namespace lodestack::python {

inline constexpr int kMaxKeyDepth = 256;

// Appends the encoding of `key` at nesting `depth` (0 for a top-level key). Returns 0, or
// -1 with an exception set, leaving a partial encoding in `buffer` for the caller to drop.
int encode_key(PyObject* key, Bytes& buffer, int depth);

// Appends the number encoding of a Python int (or int subclass, by its stored value).
int push_int(PyObject* value, Bytes& buffer);

// The bare `__name__` of the value's type (int, float32, ndarray), for the messages of
// TypeErrors that name a type; "?" when the name cannot be read. Never raises: an error
// reading the name is discarded.
std::string type_name(PyObject* value);

}  // namespace lodestack::python

#endif  // LODESTACK_PYTHON_ENCODE_H_
