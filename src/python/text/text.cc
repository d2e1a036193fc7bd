// The extension module `lodestack._text`: what the `lodestack` command needs of the line
// machinery (src/lines), and nothing else. The command parses its arguments and opens its
// files in Python; everything done per line happens here, detached from the interpreter.
//
//   Keyer(keys, letters, separator, stable, unique)    GNU's ordering options, checked
//   LineSorter(keyer, end, max_bytes, tmp_dir, max_open, threads)
//       .add(block), .end(), .write(fd), .close()     sort: blocks in, lines out to fd
//   Checker(keyer, end).add(block), .end()            -c: the first line out of order
//   Merger(keyer, end, fds).write(fd)                 -m: merge sorted inputs into fd
//   check_key(keydef)                                 a -k KEYDEF's error text, or None
//
// Failures of the sort, of reading and of writing raise OSError (MemoryError when memory
// ran out) with two more attributes: `side`, which is "input", "output", "tmpdir" (the
// private directory could not be made in the temporary directory) or "sort", and
// `input`, the index of the failed input. A signal handler's exception (KeyboardInterrupt)
// is raised as it is. Each object serves one call at a time; `lines`, `read` and
// `written` may be read from another thread while a call runs.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error/to_python.h"
#include "lines/check.h"
#include "lines/fd.h"
#include "lines/feed.h"
#include "lines/keyer.h"
#include "lines/merge.h"
#include "lines/options.h"
#include "lines/write.h"
#include "merge/finish.h"
#include "python/ref.h"
#include "python/signal_check.h"
#include "sorter/sorter.h"

namespace lodestack::python {
namespace {

PyTypeObject* keyer_type = nullptr;
PyTypeObject* line_sorter_type = nullptr;
PyTypeObject* checker_type = nullptr;
PyTypeObject* merger_type = nullptr;

// --- Helpers -------------------------------------------------------------------------

// A -k KEYDEF given as bytes, parsed.
Result<lines::KeyField> parse_keydef(PyObject* keydef) {
  return lines::parse_key(std::string_view(PyBytes_AS_STRING(keydef),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(keydef))));
}

// Runs `body`, turning a C++ exception into a Python one.
template <typename F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (...) {
    raise_current_exception(PyExc_RuntimeError);
    return nullptr;
  }
}

// Marks an object busy for the length of a call, refusing a second call at once.
class Busy final {
 public:
  explicit Busy(std::atomic<bool>& flag) : flag_(flag) {
    held_ = !flag_.exchange(true, std::memory_order_acquire);
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "already in use by another call");
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() {
    if (held_) flag_.store(false, std::memory_order_release);
  }
  explicit operator bool() const { return held_; }

 private:
  std::atomic<bool>& flag_;
  bool held_;
};

const char* side_name(lines::Failure::Side side) {
  switch (side) {
    case lines::Failure::Side::kSort: return "sort";
    case lines::Failure::Side::kTmpDir: return "tmpdir";
    case lines::Failure::Side::kInput: return "input";
    case lines::Failure::Side::kOutput: return "output";
  }
  return "sort";
}

// Raises what a failure stands for: the exception a signal handler raised if `check`
// kept one, MemoryError, or OSError with `side` and `input`. Returns null.
PyObject* raise_failure(const lines::Failure& failure, SignalCheck& check) {
  if (check.captured()) return check.raise_captured();
  const Error& error = failure.error;
  if (error.type() != Error::Type::kIo) return raise(error);
  if (error.kind() == ErrorKind::kOutOfMemory) return PyErr_NoMemory();
  std::string text = error.text();
  int const err = error.os_errno();
  // The OS's own words are the exception's; the number is its errno.
  std::string const suffix = " (os error " + std::to_string(err) + ")";
  if (err != 0 && text.ends_with(suffix)) text.resize(text.size() - suffix.size());
  Ref message = Ref::steal(
      PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) return nullptr;
  Ref exception =
      Ref::steal(err != 0 ? PyObject_CallFunction(PyExc_OSError, "iO", err, message.get())
                          : PyObject_CallOneArg(PyExc_OSError, message.get()));
  if (!exception) return nullptr;
  Ref side = Ref::steal(PyUnicode_FromString(side_name(failure.side)));
  Ref input = Ref::steal(PyLong_FromSize_t(failure.input));
  if (!side || !input || PyObject_SetAttrString(exception.get(), "side", side.get()) < 0 ||
      PyObject_SetAttrString(exception.get(), "input", input.get()) < 0) {
    return nullptr;
  }
  PyErr_SetRaisedException(exception.release());
  return nullptr;
}

bool read_end_byte(int value, std::uint8_t* out) {
  if (value != '\n' && value != 0) {
    PyErr_SetString(PyExc_ValueError, "end must be 10 (newline) or 0 (NUL)");
    return false;
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

// A read-only view of an object's bytes, released with the owner.
class Buffer final {
 public:
  explicit Buffer(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  explicit operator bool() const { return held_; }
  ByteView bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_;
};

// --- Keyer ---------------------------------------------------------------------------

struct PyKeyer {
  PyObject_HEAD std::optional<lines::Keyer> keyer;
};

PyObject* keyer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"keys", "letters", "separator", "stable", "unique", nullptr};
  PyObject* keys = nullptr;
  const char* letters = nullptr;
  PyObject* separator = nullptr;
  int stable = 0;
  int unique = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!sOpp:Keyer", const_cast<char**>(names),
                                   &PyList_Type, &keys, &letters, &separator, &stable,
                                   &unique)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    lines::Settings settings;
    settings.stable = stable != 0;
    settings.unique = unique != 0;
    for (const char* c = letters; *c != '\0'; ++c) {
      if (!settings.global.set(*c)) {
        return PyErr_Format(PyExc_ValueError, "not an ordering letter: '%c'", *c);
      }
    }
    if (separator != Py_None) {
      long const value = PyLong_AsLong(separator);
      if (value == -1 && PyErr_Occurred()) return nullptr;
      if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_ValueError, "separator must be a byte");
        return nullptr;
      }
      settings.separator = static_cast<std::uint8_t>(value);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
      PyObject* const keydef = PyList_GET_ITEM(keys, i);
      if (!PyBytes_Check(keydef)) {
        PyErr_SetString(PyExc_TypeError, "keys must be bytes");
        return nullptr;
      }
      Result<lines::KeyField> key = parse_keydef(keydef);
      if (!key) return raise(key.error());
      settings.keys.push_back(*key);
    }
    Result<lines::Keyer> keyer = lines::Keyer::make(settings);
    if (!keyer) return raise(keyer.error());
    PyObject* const object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    new (&reinterpret_cast<PyKeyer*>(object)->keyer) std::optional(std::move(*keyer));
    return object;
  });
}

// The Keyer behind `object`, or null with TypeError.
const lines::Keyer* keyer_of(PyObject* object) {
  if (!PyObject_TypeCheck(object, keyer_type)) {
    PyErr_SetString(PyExc_TypeError, "keyer must be a Keyer");
    return nullptr;
  }
  return &*reinterpret_cast<PyKeyer*>(object)->keyer;
}

void keyer_dealloc(PyObject* op) {
  reinterpret_cast<PyKeyer*>(op)->keyer.~optional();
  PyTypeObject* const type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

// --- LineSorter ----------------------------------------------------------------------

struct SorterState {
  std::unique_ptr<sorter::Sorter> core;  // null once written or closed
  lines::LineFeeder feeder;
  std::uint8_t end;
};

struct PyLineSorter {
  PyObject_HEAD std::atomic<bool> busy;
  std::atomic<std::uint64_t> written;
  SorterState* state;
};

PyLineSorter* as_line_sorter(PyObject* self) { return reinterpret_cast<PyLineSorter*>(self); }

PyObject* line_sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"keyer",    "end",     "max_bytes", "tmp_dir",
                                "max_open", "threads", nullptr};
  PyObject* keyer_object = nullptr;
  int end = 0;
  unsigned long long max_bytes = 0;
  PyObject* tmp_dir = nullptr;
  unsigned long long max_open = 0;
  unsigned long long threads = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiKO&KK:LineSorter",
                                   const_cast<char**>(names), &keyer_object, &end, &max_bytes,
                                   PyUnicode_FSConverter, &tmp_dir, &max_open, &threads)) {
    return nullptr;
  }
  Ref tmp_dir_bytes = Ref::steal(tmp_dir);
  const lines::Keyer* const keyer = keyer_of(keyer_object);
  std::uint8_t end_byte = 0;
  if (keyer == nullptr || !read_end_byte(end, &end_byte)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::filesystem::path const dir(PyBytes_AS_STRING(tmp_dir_bytes.get()));
    sorter::Order const order{.reverse = keyer->reverse_all(), .unique = keyer->unique()};
    Result<std::unique_ptr<sorter::Sorter>> core = fail(Error::lost());
    {
      Detached detached;  // starting a pool can take a moment
      core = sorter::Sorter::create(dir, max_bytes, max_open, threads, order,
                                    sorter::TmpDirCheck::kAtFirstSpill);
    }
    if (!core) return raise(core.error());
    auto state = std::make_unique<SorterState>(
        SorterState{std::move(*core), lines::LineFeeder(*keyer, end_byte), end_byte});
    PyObject* const object = type->tp_alloc(type, 0);
    if (object == nullptr) {
      Detached detached;
      state.reset();
      return nullptr;
    }
    PyLineSorter* const self = as_line_sorter(object);
    new (&self->busy) std::atomic<bool>(false);
    new (&self->written) std::atomic<std::uint64_t>(0);
    self->state = state.release();
    return object;
  });
}

// The state of a sorter that can still take lines, or null with an exception.
SorterState* adding_state(PyLineSorter* self) {
  if (self->state == nullptr || self->state->core == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the sorter was written or closed");
    return nullptr;
  }
  return self->state;
}

// Where a failed push failed: making the private directory, or elsewhere in the sort.
lines::Failure push_failure(const sorter::Sorter& core, Error error) {
  bool const making_dir =
      error.type() == Error::Type::kIo && !error.is_interrupted() && !core.dir().has_value();
  return {making_dir ? lines::Failure::Side::kTmpDir : lines::Failure::Side::kSort, 0,
          std::move(error)};
}

PyObject* line_sorter_add(PyObject* op, PyObject* block) {
  PyLineSorter* const self = as_line_sorter(op);
  Busy busy(self->busy);
  if (!busy) return nullptr;
  SorterState* const state = adding_state(self);
  if (state == nullptr) return nullptr;
  Buffer buffer(block);
  if (!buffer) return nullptr;
  return guarded([&]() -> PyObject* {
    SignalCheck check;
    Result<void> added;
    {
      Detached detached;
      added = state->feeder.add(buffer.bytes(), *state->core, [&check] { return check(); });
    }
    if (!added)
      return raise_failure(push_failure(*state->core, std::move(added.error())), check);
    Py_RETURN_NONE;
  });
}

PyObject* line_sorter_end(PyObject* op, PyObject*) {
  PyLineSorter* const self = as_line_sorter(op);
  Busy busy(self->busy);
  if (!busy) return nullptr;
  SorterState* const state = adding_state(self);
  if (state == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    SignalCheck check;
    Result<void> added;
    {
      Detached detached;
      added = state->feeder.end(*state->core, [&check] { return check(); });
    }
    if (!added)
      return raise_failure(push_failure(*state->core, std::move(added.error())), check);
    Py_RETURN_NONE;
  });
}

PyObject* line_sorter_write(PyObject* op, PyObject* fd_object) {
  PyLineSorter* const self = as_line_sorter(op);
  int const fd = PyObject_AsFileDescriptor(fd_object);
  if (fd < 0) return nullptr;
  Busy busy(self->busy);
  if (!busy) return nullptr;
  SorterState* const state = adding_state(self);
  if (state == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    SignalCheck check;
    const sorter::Stop stop = [&check] { return check(); };
    lines::Outcome outcome;
    {
      Detached detached;
      Result<merge::Merged> merged = merge::finish(std::move(state->core), stop);
      if (merged) {
        outcome = lines::write_sorted(std::move(*merged), state->feeder.stored(), state->end,
                                      fd, stop, self->written);
      } else {
        outcome = lines::fail_at(lines::Failure::Side::kSort, std::move(merged.error()));
      }
    }
    if (!outcome) return raise_failure(outcome.error(), check);
    Py_RETURN_NONE;
  });
}

// Drops the sorter and what it spilled. Waits for a spill in flight, so detached.
void drop_state(PyLineSorter* self) {
  SorterState* const state = std::exchange(self->state, nullptr);
  if (state == nullptr) return;
  if (Py_IsFinalizing()) {
    delete state;
    return;
  }
  Detached detached;
  delete state;
}

PyObject* line_sorter_close(PyObject* op, PyObject*) {
  PyLineSorter* const self = as_line_sorter(op);
  Busy busy(self->busy);
  if (!busy) return nullptr;
  drop_state(self);
  Py_RETURN_NONE;
}

void line_sorter_dealloc(PyObject* op) {
  PyLineSorter* const self = as_line_sorter(op);
  drop_state(self);
  PyTypeObject* const type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

PyObject* line_sorter_lines(PyObject* op, void*) {
  const SorterState* const state = as_line_sorter(op)->state;
  return PyLong_FromUnsignedLongLong(state == nullptr ? 0 : state->feeder.lines());
}

PyObject* line_sorter_written(PyObject* op, void*) {
  return PyLong_FromUnsignedLongLong(
      as_line_sorter(op)->written.load(std::memory_order_relaxed));
}

// --- Checker -------------------------------------------------------------------------

struct PyChecker {
  PyObject_HEAD std::atomic<bool> busy;
  lines::Checker* checker;
};

PyObject* checker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"keyer", "end", nullptr};
  PyObject* keyer_object = nullptr;
  int end = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi:Checker", const_cast<char**>(names),
                                   &keyer_object, &end)) {
    return nullptr;
  }
  const lines::Keyer* const keyer = keyer_of(keyer_object);
  std::uint8_t end_byte = 0;
  if (keyer == nullptr || !read_end_byte(end, &end_byte)) return nullptr;
  return guarded([&]() -> PyObject* {
    auto checker = std::make_unique<lines::Checker>(*keyer, end_byte);
    PyObject* const object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* const self = reinterpret_cast<PyChecker*>(object);
    new (&self->busy) std::atomic<bool>(false);
    self->checker = checker.release();
    return object;
  });
}

// None, or (line number, line) for the first line out of order.
PyObject* disorder_result(const std::optional<lines::Disorder>& disorder) {
  if (!disorder) Py_RETURN_NONE;
  Ref line =
      Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(disorder->line.data()),
                                           static_cast<Py_ssize_t>(disorder->line.size())));
  if (!line) return nullptr;
  return Py_BuildValue("KO", static_cast<unsigned long long>(disorder->line_number),
                       line.get());
}

PyObject* checker_add(PyObject* op, PyObject* block) {
  auto* const self = reinterpret_cast<PyChecker*>(op);
  Busy busy(self->busy);
  if (!busy) return nullptr;
  Buffer buffer(block);
  if (!buffer) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<lines::Disorder> disorder;
    {
      Detached detached;
      disorder = self->checker->add(buffer.bytes());
    }
    return disorder_result(disorder);
  });
}

PyObject* checker_end(PyObject* op, PyObject*) {
  auto* const self = reinterpret_cast<PyChecker*>(op);
  Busy busy(self->busy);
  if (!busy) return nullptr;
  return guarded([&]() -> PyObject* { return disorder_result(self->checker->end()); });
}

void checker_dealloc(PyObject* op) {
  delete std::exchange(reinterpret_cast<PyChecker*>(op)->checker, nullptr);
  PyTypeObject* const type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

// --- Merger --------------------------------------------------------------------------

struct MergerState {
  lines::Keyer keyer;
  std::uint8_t end;
  std::vector<int> inputs;
  lines::MergeCounters counters;
};

struct PyMerger {
  PyObject_HEAD std::atomic<bool> busy;
  MergerState* state;
};

PyObject* merger_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"keyer", "end", "fds", nullptr};
  PyObject* keyer_object = nullptr;
  int end = 0;
  PyObject* fds = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiO!:Merger", const_cast<char**>(names),
                                   &keyer_object, &end, &PyList_Type, &fds)) {
    return nullptr;
  }
  const lines::Keyer* const keyer = keyer_of(keyer_object);
  std::uint8_t end_byte = 0;
  if (keyer == nullptr || !read_end_byte(end, &end_byte)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<int> inputs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fds); ++i) {
      int const fd = PyObject_AsFileDescriptor(PyList_GET_ITEM(fds, i));
      if (fd < 0) return nullptr;
      inputs.push_back(fd);
    }
    auto state = std::make_unique<MergerState>(*keyer, end_byte, std::move(inputs));
    PyObject* const object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* const self = reinterpret_cast<PyMerger*>(object);
    new (&self->busy) std::atomic<bool>(false);
    self->state = state.release();
    return object;
  });
}

PyObject* merger_write(PyObject* op, PyObject* fd_object) {
  auto* const self = reinterpret_cast<PyMerger*>(op);
  int const fd = PyObject_AsFileDescriptor(fd_object);
  if (fd < 0) return nullptr;
  Busy busy(self->busy);
  if (!busy) return nullptr;
  MergerState& state = *self->state;
  return guarded([&]() -> PyObject* {
    SignalCheck check;
    lines::Outcome outcome;
    {
      Detached detached;
      outcome = lines::merge_inputs(
          state.keyer, state.end, state.inputs, fd, [&check] { return check(); },
          state.counters);
    }
    if (!outcome) return raise_failure(outcome.error(), check);
    Py_RETURN_NONE;
  });
}

void merger_dealloc(PyObject* op) {
  delete std::exchange(reinterpret_cast<PyMerger*>(op)->state, nullptr);
  PyTypeObject* const type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

PyObject* merger_read(PyObject* op, void*) {
  return PyLong_FromUnsignedLongLong(
      reinterpret_cast<PyMerger*>(op)->state->counters.read.load(std::memory_order_relaxed));
}

PyObject* merger_written(PyObject* op, void*) {
  return PyLong_FromUnsignedLongLong(
      reinterpret_cast<PyMerger*>(op)->state->counters.written.load(std::memory_order_relaxed));
}

// --- Module --------------------------------------------------------------------------

PyObject* check_key(PyObject*, PyObject* keydef) {
  if (!PyBytes_Check(keydef)) {
    PyErr_SetString(PyExc_TypeError, "keydef must be bytes");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    Result<lines::KeyField> key = parse_keydef(keydef);
    if (key) Py_RETURN_NONE;
    std::string const text = key.error().text();
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <typename F>
PyCFunction cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef line_sorter_methods[] = {
    {"add", cfunc(line_sorter_add), METH_O,
     "add($self, block, /)\n--\n\n"
     "Add the lines of a block of bytes; a line it leaves unfinished goes on in the next."},
    {"end", cfunc(line_sorter_end), METH_NOARGS,
     "end($self, /)\n--\n\nAdd the last line if the input did not end it."},
    {"write", cfunc(line_sorter_write), METH_O,
     "write($self, fd, /)\n--\n\nWrite every line, sorted, each with its end byte, to fd."},
    {"close", cfunc(line_sorter_close), METH_NOARGS,
     "close($self, /)\n--\n\nDrop every line and what was spilled."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef line_sorter_getset[] = {
    {"lines", line_sorter_lines, nullptr, "Lines added so far.", nullptr},
    {"written", line_sorter_written, nullptr, "Bytes written so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef checker_methods[] = {
    {"add", cfunc(checker_add), METH_O,
     "add($self, block, /)\n--\n\n"
     "Check the lines of a block: None, or (line number, line) of the first out of order."},
    {"end", cfunc(checker_end), METH_NOARGS,
     "end($self, /)\n--\n\nCheck the last line if the input did not end it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef merger_methods[] = {
    {"write", cfunc(merger_write), METH_O,
     "write($self, fd, /)\n--\n\nMerge the inputs' lines and write them to fd."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef merger_getset[] = {
    {"read", merger_read, nullptr, "Bytes read so far.", nullptr},
    {"written", merger_written, nullptr, "Bytes written so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef module_methods[] = {
    {"check_key", cfunc(check_key), METH_O,
     "check_key(keydef, /)\n--\n\n"
     "None for a valid -k KEYDEF (bytes), else GNU sort's error text for it, as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(const char* name, std::size_t size, newfunc make, destructor dealloc,
                        const char* doc, PyMethodDef* methods, PyGetSetDef* getset) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(make)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {methods != nullptr ? Py_tp_methods : 0, methods},
      {getset != nullptr ? Py_tp_getset : 0, getset},
      {0, nullptr},
  };
  // Unused slots end the list early: move the set ones forward.
  std::size_t used = 0;
  for (const PyType_Slot& slot : slots) {
    if (slot.slot != 0) slots[used++] = slot;
  }
  slots[used] = {0, nullptr};
  PyType_Spec shape = {
      .name = name,
      .basicsize = static_cast<int>(size),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&shape));
}

PyMutex types_mutex{};

// Makes the type objects on the first exec that succeeds; later imports share them.
int make_types() {
  PyMutex_Lock(&types_mutex);
  const int made = [] {
    if (keyer_type != nullptr) return 0;
    Ref keyer = Ref::steal(reinterpret_cast<PyObject*>(
        make_type("lodestack._text.Keyer", sizeof(PyKeyer), keyer_new, keyer_dealloc,
                  "Keyer(keys, letters, separator, stable, unique)\n--\n\n"
                  "GNU sort's ordering options, checked; ValueError carries GNU's text.",
                  nullptr, nullptr)));
    Ref sorter = Ref::steal(reinterpret_cast<PyObject*>(make_type(
        "lodestack._text.LineSorter", sizeof(PyLineSorter), line_sorter_new,
        line_sorter_dealloc,
        "LineSorter(keyer, end, max_bytes, tmp_dir, max_open, threads)\n--\n\n"
        "Sorts lines ending in the byte `end` within max_bytes, spilling into tmp_dir.",
        line_sorter_methods, line_sorter_getset)));
    Ref checker = Ref::steal(reinterpret_cast<PyObject*>(
        make_type("lodestack._text.Checker", sizeof(PyChecker), checker_new, checker_dealloc,
                  "Checker(keyer, end)\n--\n\nFinds the first line out of order.",
                  checker_methods, nullptr)));
    Ref merger = Ref::steal(reinterpret_cast<PyObject*>(make_type(
        "lodestack._text.Merger", sizeof(PyMerger), merger_new, merger_dealloc,
        "Merger(keyer, end, fds)\n--\n\nMerges sorted inputs, read from the descriptors fds.",
        merger_methods, merger_getset)));
    if (!keyer || !sorter || !checker || !merger) return -1;
    keyer_type = reinterpret_cast<PyTypeObject*>(keyer.release());
    line_sorter_type = reinterpret_cast<PyTypeObject*>(sorter.release());
    checker_type = reinterpret_cast<PyTypeObject*>(checker.release());
    merger_type = reinterpret_cast<PyTypeObject*>(merger.release());
    return 0;
  }();
  PyMutex_Unlock(&types_mutex);
  return made;
}

int exec_module(PyObject* module) {
  if (make_types() < 0) return -1;
  const std::pair<const char*, PyTypeObject*> types[] = {
      {"Keyer", keyer_type},
      {"LineSorter", line_sorter_type},
      {"Checker", checker_type},
      {"Merger", merger_type},
  };
  for (const auto& [name, type] : types) {
    if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_text",
    .m_doc = "The line machinery of the lodestack command.",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace lodestack::python

PyMODINIT_FUNC PyInit__text() { return PyModuleDef_Init(&lodestack::python::module_def); }
