// `write_to`: the merge runs on a thread of its own, "lodestack-merge", which cuts the
// payloads into chunks of at most 256 KiB (or one larger payload) and hands them over a
// channel of bound 1; the calling thread writes each chunk to the handle while the next
// one is merged. So at most three chunks are alive at once (one being written, with the
// bytes object made of it, one queued, one being filled), about 1 MiB in all: chunks this
// size already make the calls into Python a negligible share of the time.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "channel/channel.h"
#include "error/to_python.h"
#include "python/binding.h"
#include "sorter/pool.h"

namespace lodestack::python {

namespace {

constexpr std::size_t kChunkBytes = 262144;
constexpr std::chrono::nanoseconds kSlice = std::chrono::milliseconds(50);

using Message = std::variant<Bytes, Error>;

// The merging thread's body. It never touches Python. It takes the merge out of `handed`
// first thing; until then the merge is the caller's, so that a thread that cannot be
// started leaves it with the caller rather than in std::thread's argument storage, which
// the failed constructor would destroy while attached. The merge is dropped (removing the
// private directory) before the sender is released, so the writer sees the end only after
// the spilled files are gone. Having merged every record, it leaves the sort's stats in
// `stats` for the writer, who reads them after joining it.
void merge_chunks(std::optional<merge::Merged>* handed, channel::Sender<Message> sender,
                  std::atomic<bool>& panicked, std::optional<sorter::Stats>& stats) {
  merge::Merged merged = *std::move(*handed);
  sorter::name_thread("lodestack-merge");
  try {
    Bytes chunk;
    chunk.reserve(kChunkBytes);
    for (;;) {
      Result<std::optional<merge::Record>> record = merged.next_record();
      if (!record) {
        (void)sender.send(std::move(record.error()));
        break;
      }
      if (!*record) {
        stats = merged.stats();
        if (!chunk.empty()) (void)sender.send(std::move(chunk));
        break;
      }
      const ByteView payload = (*record)->payload;
      if (chunk.size() + payload.size() > kChunkBytes && !chunk.empty()) {
        // Sent before the payload would outgrow its reservation, which would move it into
        // a buffer twice the size. A message handed back means the writer has gone.
        if (sender.send(std::exchange(chunk, Bytes()))) break;
        chunk.reserve(std::max(kChunkBytes, payload.size()));
      }
      chunk.insert(chunk.end(), payload.begin(), payload.end());
    }
  } catch (...) {
    panicked.store(true, std::memory_order_relaxed);
  }
  { merge::Merged dropped = std::move(merged); }
  { channel::Sender<Message> released = std::move(sender); }
}

// Writes one chunk, resuming after short writes. 0 or -1.
int write_chunk(PyObject* write, const Bytes& chunk) {
  std::size_t done = 0;
  while (done < chunk.size()) {
    const std::size_t rest = chunk.size() - done;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(chunk.data() + done), static_cast<Py_ssize_t>(rest)));
    if (!bytes) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(write, bytes.get()));
    if (!result) return -1;
    bytes = Ref();
    // A handle that does not say how much it took is taken to have taken everything.
    if (!PyLong_Check(result.get())) return 0;
    const unsigned long long taken = PyLong_AsUnsignedLongLong(result.get());
    if (taken == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return 0;
    }
    if (taken == 0) {
      PyErr_SetString(PyExc_OSError, "the handle wrote no bytes");
      return -1;
    }
    if (taken >= rest) return 0;
    done += taken;
  }
  return 0;
}

PyObject* write_to(PySorter* self, PyObject* handle) {
  Ref write = Ref::steal(PyObject_GetAttrString(handle, "write"));
  if (!write) return nullptr;
  std::optional<merge::Merged> merged;
  if (finish(self, false, &merged) < 0) return nullptr;

  auto [sender, receiver] = channel::channel<Message>(1);
  std::atomic<bool> panicked{false};
  std::optional<sorter::Stats> stats;
  std::thread thread;
  std::exception_ptr not_started;
  try {
    // The thread moves the merge out of `merged`, which therefore lives on until the join.
    thread = std::thread(merge_chunks, &merged, std::move(sender), std::ref(panicked),
                         std::ref(stats));
  } catch (...) {
    not_started = std::current_exception();
  }
  if (not_started) {
    {
      Detached detached;
      merged.reset();  // removes the private directory
    }
    try {
      std::rethrow_exception(not_started);
    } catch (const std::system_error& e) {
      return raise(Error::from_errno(e.code().value()));
    }  // anything else (running out of memory) goes on to the entry point's handler
  }

  Ref kept;  // the exception that ends the loop, if any
  for (;;) {
    channel::Received<Message> received;
    {
      Detached detached;
      received = receiver.recv_timeout(kSlice);
    }
    if (received.status == channel::RecvStatus::kDisconnected) break;
    if (received.status == channel::RecvStatus::kMessage) {
      if (Error* error = std::get_if<Error>(&*received.message)) {
        kept = Ref::steal(to_python(*error));
        if (!kept) kept = Ref::steal(PyErr_GetRaisedException());
        break;
      }
      const Bytes& chunk = std::get<Bytes>(*received.message);
      const int written = chunk.empty() ? 0 : write_chunk(write.get(), chunk);
      if (written < 0) {
        kept = Ref::steal(PyErr_GetRaisedException());
        break;
      }
    }
    if (PyErr_CheckSignals() < 0) {
      kept = Ref::steal(PyErr_GetRaisedException());
      break;
    }
  }
  {
    // Releasing the receiver stops the merging thread at its next send; a chunk still
    // queued is freed here, detached.
    Detached detached;
    { channel::Receiver<Message> released = std::move(receiver); }
    thread.join();
  }
  if (panicked.load(std::memory_order_relaxed)) {
    PyErr_SetString(PyExc_RuntimeError, "the merging thread panicked");
    return nullptr;
  }
  if (kept) {
    PyErr_SetRaisedException(kept.release());
    return nullptr;
  }
  if (stats) self->lock->publish_stats(*stats);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* sorter_write_to(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* handle = nargs >= 1 ? args[0] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nargs > 1) {
    return PyErr_Format(PyExc_TypeError,
                        "write_to() takes exactly one argument (%zd given)", nargs + nkw);
  }
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* const name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(name, "handle") != 0) {
      return PyErr_Format(PyExc_TypeError,
                          "write_to() got an unexpected keyword argument '%S'", name);
    }
    if (handle != nullptr) {
      PyErr_SetString(PyExc_TypeError, "write_to() got multiple values for argument 'handle'");
      return nullptr;
    }
    handle = args[nargs + i];
  }
  if (handle == nullptr) {
    PyErr_SetString(PyExc_TypeError, "write_to() missing required argument 'handle'");
    return nullptr;
  }
  try {
    return write_to(reinterpret_cast<PySorter*>(op), handle);
  } catch (...) {
    raise_from_current_exception();
    return nullptr;
  }
}

}  // namespace lodestack::python
