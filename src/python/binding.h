// What the binding's files share: the `PySorter` object, the type objects, and the steps
// of adding and finishing that several methods use.
//
// Functions here follow the C API's contract: a new reference, or null (or -1) with an
// exception set. All of them run on an attached thread unless they say otherwise.
#ifndef LODESTACK_PYTHON_BINDING_H_
#define LODESTACK_PYTHON_BINDING_H_

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <variant>

#include "error/error.h"
#include "key/bytes.h"
#include "merge/merged.h"
#include "python/lock.h"
#include "python/ref.h"
#include "python/signal_check.h"

namespace lodestack::python {

// `status`: a coarse, lock-free mirror of the state, so that adding can be refused early.
inline constexpr std::uint8_t kTaking = 0;
inline constexpr std::uint8_t kReadBegun = 1;
inline constexpr std::uint8_t kClosedStatus = 2;

struct PySorter {
  PyObject_HEAD
  bool codec_given;
  // No codec, and pickle's dumps and loads are the C pickler's own: dump_fast and load_fast
  // (python/pickle.h) may stand in for them. A replaced pickle.dumps is called every time.
  bool fast_pickle;
  PyObject* encode;  // the codec's bound encode, or pickle.dumps
  Lock* lock;        // one handle; iterators hold their own
  PyObject* decode;  // the codec's bound decode, or pickle.loads
  std::atomic<std::uint64_t> added;
  PyObject* key;  // the key function, or null
  std::atomic<std::uint8_t> status;
};

struct SortedIterator {
  PyObject_HEAD
  Lock* lock;
  PyObject* decode;  // null for encoded()
  bool fast_pickle;  // decode is pickle.loads, which load_fast may stand in for
};

// Created together by the module's first successful exec and kept for the life of the
// process; all three are set or none is.
extern PyTypeObject* sorter_type;
extern PyTypeObject* iterator_type;
// The struct sequence `Sorter.stats` returns: no attribute of the module.
extern PyTypeObject* stats_type;
extern PyObject* internal_fault;  // derives from BaseException

// Why a call on a sorter was refused, or what stopped it, before it becomes an exception.
// Kept as plain values while detached: no Python object is made without the interpreter.
enum class Refusal : std::uint8_t {
  kClosed,      // ValueError "I/O operation on a closed sorter"
  kCannotAdd,   // RuntimeError "cannot add to a sorter once it has been read"
  kStopped,     // RuntimeError "the sorter stopped when reading it failed or was interrupted"
  kReadOnce,    // RuntimeError "a sorter can be read only once"
  kReentrant,   // RuntimeError "reentrant call"
};
using Outcome = std::variant<std::monostate, Refusal, Error>;

// Raises a refusal. Returns null.
PyObject* refuse(Refusal refusal);

// Raises what an outcome says went wrong: the exception a signal handler raised when
// `check` kept one, else the refusal or the error. Returns null; `outcome` must not be
// success.
PyObject* raise_outcome(const Outcome& outcome, SignalCheck& check);

// Whether the sorter may still take items; never waits. 0 or -1.
int check_adding(PySorter* self);
// Keys and encodes `item` outside the lock, then pushes it. `buffer` is scratch space for
// the key bytes, reused across items. 0 or -1.
int push_item(PySorter* self, PyObject* item, Bytes& buffer);
// Hands key and payload bytes to the core under the lock. 0 or -1.
int push(PySorter* self, ByteView key, ByteView payload);

// Ends adding and builds the final merge: stored in the state for iteration (`store`), or
// handed to `out` for write_to. 0 or -1.
int finish(PySorter* self, bool store, std::optional<merge::Merged>* out);

// Methods defined in their own files.
PyObject* sorter_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* sorter_encoded(PyObject* self, PyObject* unused);
PyObject* sorter_write_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// A new type object, or null with an exception set.
PyTypeObject* make_sorter_type();
PyTypeObject* make_iterator_type();
PyTypeObject* make_stats_type();

// Converts a C++ exception caught at a Python entry point into a Python exception.
void raise_from_current_exception();

}  // namespace lodestack::python

#endif  // LODESTACK_PYTHON_BINDING_H_
