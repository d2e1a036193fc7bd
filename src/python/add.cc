// Adding items: the early refusal, keying and encoding outside the lock, and the hand-off
// to the core under it.
#include <Python.h>

#include <cstdint>

#include "error/to_python.h"
#include "python/binding.h"
#include "python/encode.h"
#include "python/pickle.h"

namespace lodestack::python {

PyObject* raise_outcome(const Outcome& outcome, SignalCheck& check) {
  if (check.captured()) return check.raise_captured();
  if (const Refusal* refusal = std::get_if<Refusal>(&outcome)) return refuse(*refusal);
  if (const Error* error = std::get_if<Error>(&outcome)) return raise(*error);
  PyErr_SetString(internal_fault, "a failure without a cause");
  return nullptr;
}

int check_adding(PySorter* self) {
  switch (self->status.load(std::memory_order_acquire)) {
    case kTaking:
      return 0;
    case kClosedStatus:
      refuse(Refusal::kClosed);
      return -1;
    default:
      break;
  }
  Refusal refusal = Refusal::kCannotAdd;
  if (std::optional<Lock::Guard> guard = self->lock->try_lock()) {
    if (std::holds_alternative<Stopped>(guard->state())) refusal = Refusal::kStopped;
  }
  refuse(refusal);
  return -1;
}

int push_item(PySorter* self, PyObject* item, Bytes& buffer) {
  buffer.clear();
  if (self->encode == nullptr) {  // cleared by the garbage collector
    refuse(Refusal::kClosed);
    return -1;
  }
  if (self->key != nullptr) {
    Ref key = Ref::steal(PyObject_CallOneArg(self->key, item));
    if (!key || encode_key(key.get(), buffer, 0) < 0) return -1;
  } else if (encode_key(item, buffer, 0) < 0) {
    return -1;
  }
  if (self->fast_pickle) {
    // The payload goes after the key in the same buffer.
    const std::size_t key_size = buffer.size();
    if (dump_fast(item, buffer)) {
      const ByteView both(buffer);
      return push(self, both.first(key_size), both.subspan(key_size));
    }
  }
  Ref payload;
  if (self->codec_given) {
    payload = Ref::steal(PyObject_CallOneArg(self->encode, item));
  } else {
    static PyObject* const protocol = PyLong_FromLong(5);  // immortal small int
    PyObject* const args[] = {item, protocol};
    payload = Ref::steal(PyObject_Vectorcall(self->encode, args, 2, nullptr));
  }
  if (!payload) return -1;
  if (!PyBytes_Check(payload.get())) {
    PyErr_Format(PyExc_TypeError, "a codec must encode an item into bytes, not %s",
                 type_name(payload.get()).c_str());
    return -1;
  }
  const ByteView bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload.get())),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(payload.get())));
  return push(self, buffer, bytes);
}

namespace {

// The work done under the lock, attached or not; it makes no Python object.
Outcome locked_push(State& state, ByteView key, ByteView payload, SignalCheck& check) {
  return std::visit(
      [&](auto& held) -> Outcome {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, Closed>) {
          return Refusal::kClosed;
        } else if constexpr (std::is_same_v<T, Stopped>) {
          return Refusal::kStopped;
        } else if constexpr (std::is_same_v<T, Adding>) {
          Result<void> pushed = held.core->push(key, payload, [&check] { return check(); });
          if (!pushed) return std::move(pushed.error());
          return std::monostate{};
        } else {
          return Refusal::kCannotAdd;
        }
      },
      state);
}

}  // namespace

int push(PySorter* self, ByteView key, ByteView payload) {
  Lock& lock = *self->lock;
  SignalCheck check;
  Outcome outcome;
  if (std::optional<Lock::Guard> guard = lock.try_lock()) {
    const Adding* const adding = std::get_if<Adding>(&guard->state());
    if (adding != nullptr &&
        adding->core->room(key.size() + payload.size()).kind == sorter::Room::Kind::kFull) {
      // This item may wait for the previous spill: let other threads run meanwhile.
      Detached detached;
      outcome = locked_push(guard->state(), key, payload, check);
      guard.reset();
    } else {
      outcome = locked_push(guard->state(), key, payload, check);
    }
  } else {
    Detached detached;
    if (std::optional<Lock::Guard> waited = lock.lock()) {
      outcome = locked_push(waited->state(), key, payload, check);
    } else {
      outcome = Refusal::kReentrant;
    }
  }
  if (std::holds_alternative<std::monostate>(outcome)) {
    self->added.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }
  raise_outcome(outcome, check);
  return -1;
}

}  // namespace lodestack::python
