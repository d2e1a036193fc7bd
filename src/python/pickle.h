// The default codec's common cases at C speed: pickle protocol 5 without the pickle module.
//
// With no codec, every item is stored as `pickle.dumps(item, 5)` and read back with
// `pickle.loads`; for a small item those two calls are most of its cost. For exact ints,
// floats, strs, bytes, bools, None and tuples of them, `dump_fast` writes the very bytes
// CPython's C pickler writes (the same opcodes, one frame, the same memo), and `load_fast`
// reads that layout back into the objects `pickle.loads` makes. Whatever either does not
// recognise it declines, leaving the call to the pickle module, so that every other value,
// and every error, stays exactly the module's.
//
// Both run attached and call no Python code. They read only immutable objects that the
// caller keeps alive, so they need no lock in the free-threaded build either.
#ifndef LODESTACK_PYTHON_PICKLE_H_
#define LODESTACK_PYTHON_PICKLE_H_

#include <Python.h>

#include "key/bytes.h"

namespace lodestack::python {

// Appends `pickle.dumps(item, 5)` to `out` and returns true; or returns false, with `out`
// as it was and no exception set, when `item` is not one this writes (the caller then
// calls pickle.dumps). Pickles of 64 KiB and more are declined: CPython splits those into
// several frames or writes their data unframed.
bool dump_fast(PyObject* item, Bytes& out);

// A new reference to what `pickle.loads(data)` returns, when `data` has the layout
// dump_fast writes; else null with no exception set (the caller then calls pickle.loads,
// which raises for malformed data as it always did).
PyObject* load_fast(ByteView data);

}  // namespace lodestack::python

#endif  // LODESTACK_PYTHON_PICKLE_H_
