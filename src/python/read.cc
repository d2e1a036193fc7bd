// Reading a sorter item by item: finishing it, `sort()`, `encoded()`, and the iterator
// that takes records from the final merge in batches under the lock and decodes each one
// outside it.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "error/to_python.h"
#include "merge/finish.h"
#include "python/binding.h"
#include "python/pickle.h"

namespace lodestack::python {

PyTypeObject* iterator_type = nullptr;

int finish(PySorter* self, bool store, std::optional<merge::Merged>* out) {
  SignalCheck check;
  Outcome outcome;
  std::exception_ptr thrown;
  {
    // Everything below may wait: for the lock, for a spill, on merge passes.
    Detached detached;
    std::optional<Lock::Guard> guard = self->lock->lock();
    if (!guard) {
      outcome = Refusal::kReentrant;
    } else {
      State& state = guard->state();
      if (std::holds_alternative<Stopped>(state)) {
        outcome = Refusal::kStopped;
      } else if (std::holds_alternative<Closed>(state)) {
        outcome = Refusal::kClosed;
      } else if (!std::holds_alternative<Adding>(state)) {
        outcome = Refusal::kReadOnce;
      } else {
        std::unique_ptr<sorter::Sorter> core = std::move(std::get<Adding>(state).core);
        state = Read{};
        // A close() refused as reentrant has marked the sorter closed already; that mark
        // must stay, so only a sorter still taking items becomes read.
        std::uint8_t taking = kTaking;
        self->status.compare_exchange_strong(taking, kReadBegun, std::memory_order_release,
                                             std::memory_order_relaxed);
        try {
          Result<merge::Merged> merged =
              merge::finish(std::move(core), [&check] { return check(); });
          if (!merged) {
            state = Stopped{};
            outcome = std::move(merged.error());
          } else if (store) {
            state = Reading{.merged = std::move(*merged), .batch = {}, .ends = {}, .cursor = 0};
          } else {
            *out = std::move(*merged);
          }
        } catch (...) {
          // Running out of memory while finishing stops the sorter as any other failure
          // does. The core and whatever was built from it went with the unwinding, here,
          // detached, taking the spilled runs and the private directory along.
          state = Stopped{};
          thrown = std::current_exception();
        }
      }
    }
  }
  if (thrown) {
    try {
      std::rethrow_exception(thrown);
    } catch (...) {
      raise_from_current_exception();  // MemoryError, or InternalFault for anything else
    }
    return -1;
  }
  if (std::holds_alternative<std::monostate>(outcome)) return 0;
  raise_outcome(outcome, check);
  return -1;
}

namespace {

constexpr std::size_t kBatchBytes = 1048576;
constexpr std::size_t kBatchRecords = 4096;

// Takes the next batch of records when the last one has been handed out. Runs detached,
// holding the lock; the merge and the buffers go when it ends or fails, and at the end the
// lock keeps what the sort did.
Outcome refill_if_drained(State& state, Lock& lock) {
  Reading* const reading = std::get_if<Reading>(&state);
  if (reading == nullptr || !reading->drained()) return std::monostate{};
  reading->batch.clear();
  reading->ends.clear();
  reading->cursor = 0;
  try {
    while (reading->batch.size() < kBatchBytes) {
      Result<std::optional<merge::Record>> record = reading->merged.next_record();
      if (!record) {
        Error error = std::move(record.error());
        state = Stopped{};
        return error;
      }
      if (!*record) break;
      const ByteView payload = (*record)->payload;
      reading->batch.insert(reading->batch.end(), payload.begin(), payload.end());
      reading->ends.push_back(reading->batch.size());
      if (reading->ends.size() == kBatchRecords) break;
    }
  } catch (const std::bad_alloc&) {
    // The merge has moved past a record that could not be kept: going on would skip it.
    state = Stopped{};
    return Error::io(ErrorKind::kOutOfMemory);
  }
  if (reading->ends.empty()) {
    lock.publish_stats(reading->merged.stats());
    state = Read{};
  }
  return std::monostate{};
}

// The next payload of the batch, or an empty span with `*end` set, or a refusal.
struct Next {
  std::optional<Refusal> refusal;
  ByteView payload;
  bool end = false;
};

Next next_value(State& state) {
  if (std::holds_alternative<Closed>(state)) return {.refusal = Refusal::kClosed, .payload = {}, .end = false};
  Reading* const reading = std::get_if<Reading>(&state);
  if (reading == nullptr || reading->drained()) return {.refusal = std::nullopt, .payload = {}, .end = true};
  const std::uint64_t begin = reading->cursor == 0 ? 0 : reading->ends[reading->cursor - 1];
  const std::uint64_t end = reading->ends[reading->cursor];
  ++reading->cursor;
  return {.refusal = std::nullopt,
          .payload = ByteView(reading->batch.data() + begin, end - begin),
          .end = false};
}

bool needs_refill(const State& state) {
  const Reading* const reading = std::get_if<Reading>(&state);
  return reading != nullptr && reading->drained();
}

SortedIterator* as_iterator(PyObject* op) { return reinterpret_cast<SortedIterator*>(op); }

// Stops the reading after its caller failed: the merge and its files go.
void stop_reading(Lock& lock) {
  Detached detached;
  State old{Stopped{}};
  if (std::optional<Lock::Guard> guard = lock.lock()) {
    if (std::holds_alternative<Reading>(guard->state())) std::swap(old, guard->state());
  }
}

PyObject* iterator_next_payload(SortedIterator* self) {
  Lock& lock = *self->lock;
  if (std::optional<Lock::Guard> guard = lock.try_lock()) {
    State& state = guard->state();
    if (needs_refill(state)) {
      if (PyErr_CheckSignals() < 0) {
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        {
          Detached detached;
          state = Stopped{};
          guard.reset();
        }
        PyErr_SetRaisedException(raised.release());
        return nullptr;
      }
      Outcome refilled;
      {
        Detached detached;
        refilled = refill_if_drained(state, lock);
      }
      if (const Error* error = std::get_if<Error>(&refilled)) {
        guard.reset();
        return raise(*error);
      }
    }
    const Next next = next_value(state);
    if (next.refusal) {
      guard.reset();
      return refuse(*next.refusal);
    }
    if (next.end) return nullptr;
    // Still under the lock: the payload lives in the batch.
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(next.payload.data()),
                                     static_cast<Py_ssize_t>(next.payload.size()));
  }

  // Another thread holds the lock: wait for it detached, and copy the payload out before
  // letting go, since the bytes object can only be made once attached again.
  SignalCheck check;
  Outcome outcome;
  Bytes copy;
  bool end = false;
  {
    Detached detached;
    std::optional<Lock::Guard> guard = lock.lock();
    if (!guard) {
      outcome = Refusal::kReentrant;
    } else {
      State& state = guard->state();
      if (needs_refill(state) && check()) {
        State old{Stopped{}};
        std::swap(old, state);
        guard.reset();
        outcome = Error::io(ErrorKind::kInterrupted);
      } else {
        outcome = refill_if_drained(state, lock);
        if (std::holds_alternative<std::monostate>(outcome)) {
          const Next next = next_value(state);
          if (next.refusal) {
            outcome = *next.refusal;
          } else if (next.end) {
            end = true;
          } else {
            copy.assign(next.payload.begin(), next.payload.end());
          }
        }
      }
    }
  }
  if (!std::holds_alternative<std::monostate>(outcome)) return raise_outcome(outcome, check);
  if (end) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(copy.data()),
                                   static_cast<Py_ssize_t>(copy.size()));
}

PyObject* iterator_next(PyObject* op) {
  SortedIterator* const self = as_iterator(op);
  try {
    Ref payload = Ref::steal(iterator_next_payload(self));
    if (!payload || self->decode == nullptr) return payload.release();
    PyObject* item = nullptr;
    if (self->fast_pickle) {
      item = load_fast(
          ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload.get())),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(payload.get()))));
    }
    if (item == nullptr) item = PyObject_CallOneArg(self->decode, payload.get());
    if (item == nullptr) {
      // A reading whose item could not be decoded ends, as a generator that raised does.
      PyObject* const raised = PyErr_GetRaisedException();
      payload = Ref();
      stop_reading(*self->lock);
      PyErr_SetRaisedException(raised);
    }
    return item;
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

int iterator_traverse(PyObject* op, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(as_iterator(op)->decode);
  return 0;
}

void iterator_dealloc(PyObject* op) {
  SortedIterator* const self = as_iterator(op);
  PyObject_GC_UnTrack(op);
  if (self->lock != nullptr) Lock::release(std::exchange(self->lock, nullptr));
  Py_CLEAR(self->decode);
  PyTypeObject* const type = Py_TYPE(op);
  type->tp_free(op);
  Py_DECREF(type);
}

PyObject* make_iterator(PySorter* sorter, PyObject* decode) {
  PyObject* const object = iterator_type->tp_alloc(iterator_type, 0);
  if (object == nullptr) return nullptr;
  SortedIterator* const self = as_iterator(object);
  self->lock = sorter->lock->share();
  self->decode = Py_XNewRef(decode);
  self->fast_pickle = decode != nullptr && sorter->fast_pickle;
  return object;
}

PyObject* read_sorted(PySorter* self, PyObject* decode) {
  Ref held = Ref::borrow(decode);
  if (finish(self, true, nullptr) < 0) return nullptr;
  return make_iterator(self, held.get());
}

}  // namespace

PyObject* sorter_sort(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PySorter* const self = reinterpret_cast<PySorter*>(op);
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
    PyErr_SetString(PyExc_TypeError, "sort() takes no keyword arguments");
    return nullptr;
  }
  if (nargs > 1) {
    return PyErr_Format(PyExc_TypeError, "sort() takes at most 1 argument (%zd given)", nargs);
  }
  try {
    PyObject* const items = nargs == 1 ? args[0] : Py_None;
    if (items != Py_None) {
      if (check_adding(self) < 0) return nullptr;
      Bytes buffer;
      buffer.reserve(64);
      Ref iterator = Ref::steal(PyObject_GetIter(items));
      if (!iterator) return nullptr;
      for (;;) {
        PyObject* raw = nullptr;
        const int got = PyIter_NextItem(iterator.get(), &raw);
        if (got < 0) return nullptr;
        if (got == 0) break;
        Ref item = Ref::steal(raw);
        if (push_item(self, item.get(), buffer) < 0) return nullptr;
      }
    }
    if (self->decode == nullptr) return refuse(Refusal::kClosed);
    return read_sorted(self, self->decode);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyObject* sorter_encoded(PyObject* op, PyObject*) {
  try {
    return read_sorted(reinterpret_cast<PySorter*>(op), nullptr);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

PyTypeObject* make_iterator_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("The items of a sorter, merged in order as they are read.")},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
      {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
      {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      .name = "lodestack._SortedIterator",
      .basicsize = sizeof(SortedIterator),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      .slots = slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace lodestack::python
