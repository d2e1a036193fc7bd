// The class `Sorter`: construction, closing, `with`, `len()`, garbage collection.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "error/to_python.h"
#include "python/binding.h"
#include "python/encode.h"

namespace lodestack::python {

PyTypeObject* sorter_type = nullptr;
PyTypeObject* stats_type = nullptr;
PyObject* internal_fault = nullptr;

namespace {

constexpr const char kNewName[] = "Sorter.__new__()";

PySorter* as_sorter(PyObject* self) { return reinterpret_cast<PySorter*>(self); }

// Adds "while processing '{name}'" to the exception being raised.
void add_note(const char* name) {
  PyObject* const exception = PyErr_GetRaisedException();
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (note) {
    Ref result = Ref::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()));
    if (!result) {
      Py_DECREF(exception);
      return;  // the failure to add the note is what gets raised
    }
  }
  PyErr_SetRaisedException(exception);
}

// Reads an integer setting as a signed 64-bit value, as the interpreter converts to long.
bool convert_int(PyObject* value, const char* name, long long* out, bool note = true) {
  const long converted = PyLong_AsLong(value);
  if (converted == -1 && PyErr_Occurred()) {
    if (note) add_note(name);
    return false;
  }
  *out = converted;
  return true;
}

// os.fspath, which must give a str, then the file-system encoding.
bool convert_path(PyObject* value, std::string* out, bool note) {
  Ref path = Ref::steal(PyOS_FSPath(value));
  if (path && !PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "tmp_dir must be a str or an os.PathLike giving a str, not %s",
                 type_name(path.get()).c_str());
    path = Ref();
  }
  Ref encoded;
  if (path) encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (encoded) {
    const char* const data = PyBytes_AS_STRING(encoded.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
    // A NUL would silently cut the path short at the system call.
    if (std::memchr(data, 0, static_cast<std::size_t>(size)) != nullptr) {
      PyErr_SetString(PyExc_ValueError, "embedded null byte");
    } else {
      out->assign(data, static_cast<std::size_t>(size));
      return true;
    }
  }
  if (note) add_note("tmp_dir");
  return false;
}

// A bound method looked up on the codec, or null (with no exception) if missing or not
// callable: a lookup that raises counts as missing.
Ref codec_method(PyObject* codec, const char* name) {
  Ref method = Ref::steal(PyObject_GetAttrString(codec, name));
  if (!method) {
    PyErr_Clear();
    return Ref();
  }
  if (!PyCallable_Check(method.get())) return Ref();
  return method;
}

// Whether `dumps` and `loads` are the C pickler's own functions, whose bytes and objects
// dump_fast and load_fast reproduce; not, say, a wrapper someone put in pickle's place.
bool is_c_pickle(PyObject* dumps, PyObject* loads) {
  Ref module = Ref::steal(PyImport_ImportModule("_pickle"));
  Ref c_dumps;
  Ref c_loads;
  if (module) {
    c_dumps = Ref::steal(PyObject_GetAttrString(module.get(), "dumps"));
    c_loads = Ref::steal(PyObject_GetAttrString(module.get(), "loads"));
  }
  PyErr_Clear();  // without _pickle, pickle is the pure-Python one
  return c_dumps && c_dumps.get() == dumps && c_loads.get() == loads;
}

// A flag: True or False itself, since anything else is more likely a misplaced argument
// than a choice.
bool convert_flag(PyObject* value, const char* name, bool* out) {
  if (value == nullptr) return true;
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool, not %s", name, type_name(value).c_str());
    return false;
  }
  *out = value == Py_True;
  return true;
}

bool check_minimum(const char* name, long long value, long long minimum) {
  if (value >= minimum) return true;
  PyErr_Format(PyExc_ValueError, "%s must be at least %lld, not %lld", name, minimum, value);
  return false;
}

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 1) {
    return PyErr_Format(PyExc_TypeError,
                        "%s takes from 0 to 1 positional arguments but %zd %s given", kNewName,
                        nargs, nargs == 1 ? "was" : "were");
  }
  PyObject* key = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  PyObject* codec = nullptr;
  PyObject* max_bytes_arg = nullptr;
  PyObject* tmp_dir_arg = nullptr;
  PyObject* max_open_arg = nullptr;
  PyObject* threads_arg = nullptr;
  PyObject* reverse_arg = nullptr;
  PyObject* unique_arg = nullptr;
  if (kwargs != nullptr) {
    // The keyword dict is this call's own, so reading it needs no critical section.
    PyObject* name;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      const char* const text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
      if (text == nullptr) PyErr_Clear();
      PyObject** slot = nullptr;
      if (text == nullptr) {
      } else if (std::strcmp(text, "key") == 0) {
        if (key != nullptr) {
          return PyErr_Format(PyExc_TypeError, "%s got multiple values for argument 'key'",
                              kNewName);
        }
        slot = &key;
      } else if (std::strcmp(text, "codec") == 0) {
        slot = &codec;
      } else if (std::strcmp(text, "max_bytes") == 0) {
        slot = &max_bytes_arg;
      } else if (std::strcmp(text, "tmp_dir") == 0) {
        slot = &tmp_dir_arg;
      } else if (std::strcmp(text, "max_open") == 0) {
        slot = &max_open_arg;
      } else if (std::strcmp(text, "threads") == 0) {
        slot = &threads_arg;
      } else if (std::strcmp(text, "reverse") == 0) {
        slot = &reverse_arg;
      } else if (std::strcmp(text, "unique") == 0) {
        slot = &unique_arg;
      }
      if (slot == nullptr) {
        return PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                            kNewName, name);
      }
      *slot = value;
    }
  }
  if (key == Py_None) key = nullptr;
  if (codec == Py_None) codec = nullptr;

  long long max_bytes = 268435456;
  long long max_open = 64;
  long long threads = 1;
  std::string tmp_dir;
  const bool tmp_dir_given = tmp_dir_arg != nullptr && tmp_dir_arg != Py_None;
  if (max_bytes_arg != nullptr && !convert_int(max_bytes_arg, "max_bytes", &max_bytes)) {
    return nullptr;
  }
  if (tmp_dir_given && !convert_path(tmp_dir_arg, &tmp_dir, true)) return nullptr;
  if (max_open_arg != nullptr && !convert_int(max_open_arg, "max_open", &max_open)) {
    return nullptr;
  }
  if (threads_arg != nullptr && !convert_int(threads_arg, "threads", &threads)) return nullptr;

  if (key != nullptr && !PyCallable_Check(key)) {
    return PyErr_Format(PyExc_TypeError, "key must be a function returning a sort key, not %s",
                        type_name(key).c_str());
  }

  Ref encode;
  Ref decode;
  bool fast_pickle = false;
  if (codec != nullptr) {
    encode = codec_method(codec, "encode");
    decode = codec_method(codec, "decode");
    if (!encode || !decode) {
      return PyErr_Format(PyExc_TypeError, "a codec must have encode and decode methods, unlike %s",
                          type_name(codec).c_str());
    }
  } else {
    Ref name = Ref::steal(PyUnicode_FromString("pickle"));
    Ref pickle;
    if (name) pickle = Ref::steal(PyImport_Import(name.get()));
    if (!pickle) return nullptr;
    encode = Ref::steal(PyObject_GetAttrString(pickle.get(), "dumps"));
    if (!encode) return nullptr;
    decode = Ref::steal(PyObject_GetAttrString(pickle.get(), "loads"));
    if (!decode) return nullptr;
    fast_pickle = is_c_pickle(encode.get(), decode.get());
  }

  if (!tmp_dir_given) {
    Ref name = Ref::steal(PyUnicode_FromString("tempfile"));
    Ref tempfile;
    if (name) tempfile = Ref::steal(PyImport_Import(name.get()));
    if (!tempfile) return nullptr;
    Ref dir = Ref::steal(PyObject_CallMethod(tempfile.get(), "gettempdir", nullptr));
    if (!dir || !convert_path(dir.get(), &tmp_dir, false)) return nullptr;
  }

  if (!check_minimum("max_bytes", max_bytes, 2) || !check_minimum("max_open", max_open, 2) ||
      !check_minimum("threads", threads, 1)) {
    return nullptr;
  }
  sorter::Order order;
  if (!convert_flag(reverse_arg, "reverse", &order.reverse) ||
      !convert_flag(unique_arg, "unique", &order.unique)) {
    return nullptr;
  }

  Result<std::unique_ptr<sorter::Sorter>> core = fail(Error::lost());
  {
    // Making the trial directory and starting a pool can take a while.
    Detached detached;
    core = sorter::Sorter::create(tmp_dir, static_cast<std::uint64_t>(max_bytes),
                                  static_cast<std::uint64_t>(max_open),
                                  static_cast<std::uint64_t>(threads), order);
  }
  if (!core) return raise(core.error());

  Lock* const lock = Lock::create(Adding{std::move(*core)});
  PyObject* const object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    Lock::release(lock);
    return nullptr;
  }
  PySorter* const self = as_sorter(object);
  self->codec_given = codec != nullptr;
  self->fast_pickle = fast_pickle;
  self->encode = encode.release();
  self->lock = lock;
  self->decode = decode.release();
  new (&self->added) std::atomic<std::uint64_t>(0);
  self->key = Py_XNewRef(key);
  new (&self->status) std::atomic<std::uint8_t>(kTaking);
  return object;
}

PyObject* sorter_new_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    return sorter_new(type, args, kwargs);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

int sorter_traverse(PyObject* op, visitproc visit, void* arg) {
  PySorter* const self = as_sorter(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(self->key);
  Py_VISIT(self->encode);
  Py_VISIT(self->decode);
  return 0;
}

// Releases the references the traverse reports, so that a cycle through the key function
// or the codec is collected, and with it the spilled files; left alone, such a cycle would
// keep the private directory until the process ends.
int sorter_clear(PyObject* op) {
  PySorter* const self = as_sorter(op);
  Py_CLEAR(self->key);
  Py_CLEAR(self->encode);
  Py_CLEAR(self->decode);
  return 0;
}

void sorter_dealloc(PyObject* op) {
  PySorter* const self = as_sorter(op);
  PyObject_GC_UnTrack(op);
  if (self->lock != nullptr) Lock::release(std::exchange(self->lock, nullptr));
  sorter_clear(op);
  PyTypeObject* const type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

Py_ssize_t sorter_length(PyObject* op) {
  const std::uint64_t added = as_sorter(op)->added.load(std::memory_order_relaxed);
  if (added > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "the number of items added exceeds the size range");
    return -1;
  }
  return static_cast<Py_ssize_t>(added);
}

PyObject* sorter_stats(PyObject* op, void*) {
  const std::optional<sorter::Stats> stats = as_sorter(op)->lock->stats();
  if (!stats) Py_RETURN_NONE;
  Ref result = Ref::steal(PyStructSequence_New(stats_type));
  if (!result) return nullptr;
  const std::uint64_t fields[] = {stats->added,         stats->dropped,
                                  stats->runs,          stats->spilled_bytes,
                                  stats->compressed_bytes, stats->merge_passes,
                                  stats->max_fan_in};
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(fields)); ++i) {
    PyObject* const field = PyLong_FromUnsignedLongLong(fields[i]);
    if (field == nullptr) return nullptr;
    PyStructSequence_SetItem(result.get(), i, field);  // steals the reference
  }
  return result.release();
}

PyObject* sorter_close(PyObject* op, PyObject*) {
  PySorter* const self = as_sorter(op);
  self->status.store(kClosedStatus, std::memory_order_release);
  bool reentrant = false;
  {
    // Destroying what the state held waits for a spill and removes files: detached, and
    // outside the lock.
    Detached detached;
    State old{Closed{}};
    if (std::optional<Lock::Guard> guard = self->lock->lock()) {
      std::swap(old, guard->state());
    } else {
      reentrant = true;
    }
  }
  if (reentrant) return refuse(Refusal::kReentrant);
  Py_RETURN_NONE;
}

PyObject* sorter_enter(PyObject* op, PyObject*) { return Py_NewRef(op); }

PyObject* sorter_exit(PyObject* op, PyObject* const*, Py_ssize_t, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_SetString(PyExc_TypeError, "__exit__() takes no keyword arguments");
    return nullptr;
  }
  return sorter_close(op, nullptr);
}

PyObject* sorter_class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_SetString(PyExc_TypeError, "__class_getitem__() takes no keyword arguments");
    return nullptr;
  }
  if (nargs != 1) {
    return PyErr_Format(PyExc_TypeError, "__class_getitem__() takes exactly one argument (%zd given)",
                        nargs);
  }
  return Py_GenericAlias(cls, args[0]);
}

// One positional argument and no keywords, in the interpreter's wording.
bool check_args(const char* name, Py_ssize_t want, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
    return false;
  }
  if (nargs != want) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)",
                 name, want, want == 1 ? "" : "s", nargs);
    return false;
  }
  return true;
}

PyObject* sorter_add(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!check_args("add", 1, nargs, kwnames)) return nullptr;
  PySorter* const self = as_sorter(op);
  try {
    if (check_adding(self) < 0) return nullptr;
    Bytes buffer;
    buffer.reserve(64);
    if (push_item(self, args[0], buffer) < 0) return nullptr;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* sorter_add_encoded(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  if (!check_args("add_encoded", 2, nargs, kwnames)) return nullptr;
  PySorter* const self = as_sorter(op);
  PyObject* const payload = args[1];
  if (!PyBytes_Check(payload)) {
    if (payload == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bytes'");
    } else {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'bytes'",
                   type_name(payload).c_str());
    }
    add_note("payload");
    return nullptr;
  }
  try {
    if (check_adding(self) < 0) return nullptr;
    Bytes buffer;
    buffer.reserve(64);
    if (encode_key(args[0], buffer, 0) < 0) return nullptr;
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(payload)));
    if (push(self, buffer, bytes) < 0) return nullptr;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
  Py_RETURN_NONE;
}

constexpr const char kSorterDoc[] =
    "Sorter(key=None, *, codec=None, max_bytes=268435456, tmp_dir=None, max_open=64, threads=1,\n"
    "       reverse=False, unique=False)\n"
    "--\n"
    "\n"
    "Sort more items than fit in memory: add them, then sort them once.\n"
    "\n"
    "Each item is turned into a sort key by `key`, or is its own key, and into bytes by `codec`, or\n"
    "by pickle, once, as it is added. Keys and bytes, and 16 bytes more for each item, are held in at\n"
    "most `max_bytes` of memory, unless one item alone needs more. Once half of that is full, a\n"
    "background thread sorts it and writes it, compressed with LZ4, to a private directory in\n"
    "`tmp_dir` while the other half fills. Sorting merges what was written with what is held, so\n"
    "items come out in key order, and items with equal keys come out in the order they were\n"
    "added. A merge reads at most `max_open` runs at once, each a block of up to 128 KiB at a\n"
    "time, holding the block and room for it compressed, about 269 KiB, and its next item, so it\n"
    "takes about `max_open` times the largest item, plus those blocks, besides what is held.\n"
    "\n"
    "The private directory is removed when reading ends, on `close()`, when a `with` block exits,\n"
    "or when the sorter is garbage collected. Threads sharing a sorter take turns, and a sorter\n"
    "must not be shared across a fork: make a new one in the child.\n"
    "\n"
    "Ctrl-C, or any signal handler that raises, interrupts waiting for a spill, merging, and\n"
    "reading; an interrupted merge or read ends the sort and removes what was spilled, which can take\n"
    "a moment when much was spilled, and the sorter then refuses to be read again.\n"
    "\n"
    "Args:\n"
    "    key: A function returning the sort key of an item: an int, float, str, bytes, None, or a\n"
    "        tuple or list of them, compared as Python compares them. None sorts items by\n"
    "        themselves. NumPy integers, like anything with `__index__`, are ints, and\n"
    "        `np.float64`, `np.str_` and `np.bytes_` are a float, a str and bytes; other NumPy\n"
    "        scalars, such as `np.float32` and `np.bool_`, raise TypeError, so convert them first.\n"
    "    codec: Encodes each item into bytes and decodes it back; pickle if None.\n"
    "    max_bytes: The most memory to hold keys and encoded items in, counting 16 bytes more for\n"
    "        each, at least 2.\n"
    "    tmp_dir: The directory to spill into, which must be writable, or None for\n"
    "        `tempfile.gettempdir()`.\n"
    "    max_open: The most spilled runs to merge at once, at least 2; more are merged in passes.\n"
    "    threads: The threads that sort each half and compress each run: with 1, the thread that\n"
    "        spills it, and with more, a pool of this sorter's own. Writing a run holds, beyond\n"
    "        `max_bytes`, a 128 KiB block and room for it compressed, about 269 KiB, for each\n"
    "        block in hand: one with 1 thread, and with more, two for each thread (while the pool\n"
    "        compresses half of them, the other half fills), but at most 16, about 4.2 MiB.\n"
    "    reverse: Whether items come out in descending key order. Items with equal keys still come\n"
    "        out in the order they were added, as with `sorted(reverse=True)`.\n"
    "    unique: Whether to keep, of the items with equal keys, only the first added, dropping the\n"
    "        others without decoding them. Keys are equal as they sort: 1, 1.0 and True are one\n"
    "        key, and so are all NaNs.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If `key` is not callable, `codec` lacks `encode` and `decode` methods, or\n"
    "        `reverse` or `unique` is not a bool.\n"
    "    ValueError: If `max_bytes` or `max_open` is less than 2, or `threads` is less than 1.\n"
    "    OSError: If `tmp_dir` is not a directory, or a directory cannot be made in it.";

constexpr const char kAddDoc[] =
    "add($self, item, /)\n--\n\n"
    "Add an item, keyed and encoded now.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If the key is not a sort key, or the codec does not return bytes.\n"
    "    ValueError: If the sorter is closed.\n"
    "    RuntimeError: If the sorter has been read, or an earlier error lost items.\n"
    "    OSError: If spilling to disk fails.";

constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n"
    "Drop every item and remove what was spilled; closing again does nothing.\n"
    "\n"
    "A `write_to` already running in another thread is not stopped: it writes every item, then\n"
    "removes what was spilled.";

constexpr const char kSortDoc[] =
    "sort($self, items=None, /)\n--\n\n"
    "Add every item given, then return every item added, decoded, in sorted order.\n"
    "\n"
    "Items are keyed and encoded as they are added. A sorter can be sorted only once; items\n"
    "given before one that fails stay added, and the sorter is not sorted. Once the iterator\n"
    "raises, as when decoding an item fails, it ends, as a generator does.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If a key is not a sort key, or the codec does not return bytes.\n"
    "    ValueError: If the sorter is closed; also raised by the iterator once it is.\n"
    "    RuntimeError: If the sorter has been sorted, or an earlier error lost items.\n"
    "    OSError: If spilling, or reading what was spilled, fails.";

constexpr const char kWriteToDoc[] =
    "write_to($self, handle)\n--\n\n"
    "Write every encoded item, in sorted order, to a binary handle, in chunks of about 256 KiB.\n"
    "\n"
    "The next chunk is merged on another thread while the handle writes this one. This reads\n"
    "the sorter, so it can be done only once.";

constexpr const char kStatsDoc[] =
    "What the sort did, once reading has reached its end: a SortStats of the items\n"
    "`added`, the items `dropped` as duplicates, the `runs` spilled with their\n"
    "`spilled_bytes` and `compressed_bytes`, the `merge_passes` and the `max_fan_in` of\n"
    "a merge. None until reading ends, and for good if reading failed or was\n"
    "interrupted, or the sorter was closed before the end; closing after the end keeps\n"
    "them.";

PyGetSetDef sorter_getset[] = {
    {"stats", sorter_stats, nullptr, kStatsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyStructSequence_Field stats_fields[] = {
    {"added", "the items added, as len() counts them"},
    {"dropped", "the items dropped as duplicates of an earlier one (with unique)"},
    {"runs", "the runs spilled to disk from memory"},
    {"spilled_bytes", "the bytes of records those runs hold, before compression"},
    {"compressed_bytes", "the bytes of those run files, after compression"},
    {"merge_passes", "the passes that merged runs into a new run before the final merge"},
    {"max_fan_in", "the most sources (runs, and the half still held) one merge read at once"},
    {nullptr, nullptr},
};

constexpr const char kStatsTypeDoc[] =
    "What a sort did: the items it took and dropped, what it spilled and how it merged.\n"
    "\n"
    "Every count is exact. The spilled bytes count the runs written from memory, not those that\n"
    "merge passes write. Each merge pass reads and writes part of the data once more: a larger\n"
    "`max_bytes` (fewer runs) or `max_open` saves them.";

template <typename F>
PyCFunction cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef sorter_methods[] = {
    {"__class_getitem__", cfunc(sorter_class_getitem), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "__class_getitem__($cls, key)\n--\n\n"},
    {"add", cfunc(sorter_add), METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"add_encoded", cfunc(sorter_add_encoded), METH_FASTCALL | METH_KEYWORDS,
     "add_encoded($self, key, payload, /)\n--\n\n"
     "Add bytes that the codec would decode, with their sort key, calling neither."},
    {"sort", cfunc(sorter_sort), METH_FASTCALL | METH_KEYWORDS, kSortDoc},
    {"encoded", cfunc(sorter_encoded), METH_NOARGS,
     "encoded($self)\n--\n\n"
     "Return the encoded items, as bytes, in sorted order, decoding none of them."},
    {"write_to", cfunc(sorter_write_to), METH_FASTCALL | METH_KEYWORDS, kWriteToDoc},
    {"close", cfunc(sorter_close), METH_NOARGS, kCloseDoc},
    {"__enter__", cfunc(sorter_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", cfunc(sorter_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, *_exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_sorter_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kSorterDoc)},
      {Py_tp_new, reinterpret_cast<void*>(sorter_new_guarded)},
      {Py_tp_dealloc, reinterpret_cast<void*>(sorter_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(sorter_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(sorter_clear)},
      {Py_tp_methods, sorter_methods},
      {Py_tp_getset, sorter_getset},
      {Py_mp_length, reinterpret_cast<void*>(sorter_length)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      .name = "lodestack.Sorter",
      .basicsize = sizeof(PySorter),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .slots = slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyTypeObject* make_stats_type() {
  PyStructSequence_Desc desc = {
      .name = "lodestack.SortStats",
      .doc = kStatsTypeDoc,
      .fields = stats_fields,
      .n_in_sequence = static_cast<int>(std::size(stats_fields)) - 1,
  };
  return PyStructSequence_NewType(&desc);
}

PyObject* refuse(Refusal refusal) {
  switch (refusal) {
    case Refusal::kClosed:
      PyErr_SetString(PyExc_ValueError, "I/O operation on a closed sorter");
      break;
    case Refusal::kCannotAdd:
      PyErr_SetString(PyExc_RuntimeError, "cannot add to a sorter once it has been read");
      break;
    case Refusal::kStopped:
      PyErr_SetString(PyExc_RuntimeError,
                      "the sorter stopped when reading it failed or was interrupted");
      break;
    case Refusal::kReadOnce:
      PyErr_SetString(PyExc_RuntimeError, "a sorter can be read only once");
      break;
    case Refusal::kReentrant:
      PyErr_SetString(PyExc_RuntimeError, "reentrant call");
      break;
  }
  return nullptr;
}

void raise_from_current_exception() { raise_current_exception(internal_fault); }

}  // namespace lodestack::python
