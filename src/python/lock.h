// The per-sorter lock and the state it guards.
//
// Every Python `Sorter` keeps what it holds in one `State` behind one `Lock`. The lock is
// shared by the `Sorter` object and each of its iterators through an intrusive count of
// handles (`share` / `release`); the last handle to go destroys whatever the state still
// holds. Keying, encoding and decoding run outside the lock; only hand-offs to the core,
// finishing, and taking batches of records run under it.
//
// Blocking waits for the mutex happen detached from the interpreter (callers try first
// without waiting). `owner` turns the one way a thread could wait for itself — a signal
// handler, run by a signal check of the thread that holds the lock, calling back into the
// same sorter — into a "reentrant call" error instead of a self-deadlock.
//
// Beside the state, the lock keeps what the sort did, published once when reading reaches
// its end and read without the mutex, so that asking for it never waits; it outlives the
// state's end and close().
#ifndef LODESTACK_PYTHON_LOCK_H_
#define LODESTACK_PYTHON_LOCK_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "key/bytes.h"
#include "merge/merged.h"
#include "sorter/sorter.h"
#include "sorter/stats.h"

namespace lodestack::python {

struct Adding {
  std::unique_ptr<sorter::Sorter> core;
};

// Finished for iteration: the final merge and the batch being handed out.
struct Reading {
  merge::Merged merged;
  Bytes batch;                      // payloads back to back
  std::vector<std::uint64_t> ends;  // ends[i]: offset in batch just past record i
  std::uint64_t cursor = 0;         // next record to hand out; drained when == ends.size()

  bool drained() const { return cursor == ends.size(); }
};

struct Read {};     // being finished, handed to write_to, or iterated to the end
struct Stopped {};  // reading failed or was interrupted; nothing spilled remains
struct Closed {};

using State = std::variant<Adding, Reading, Read, Stopped, Closed>;

class Lock final {
 public:
  class Guard final {
   public:
    Guard(Guard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (lock_ == nullptr) return;
      lock_->owner_.store(0, std::memory_order_relaxed);
      lock_->mutex_.unlock();
    }
    State& state() const { return lock_->state_; }

   private:
    friend class Lock;
    explicit Guard(Lock* lock) : lock_(lock) {}
    Lock* lock_;
  };

  // A new lock holding `state`, with one handle (the caller's).
  static Lock* create(State state) { return new Lock(std::move(state)); }

  // Waits for the mutex. Nothing when this thread holds it already (a reentrant call).
  // REQUIRES: detached from the interpreter.
  std::optional<Guard> lock();
  // Takes the mutex only if it is free; nothing when this thread holds it already.
  std::optional<Guard> try_lock();

  // Adds a handle.
  Lock* share() {
    refs_.fetch_add(1, std::memory_order_relaxed);
    return this;
  }
  // Drops a handle; the last one destroys the lock and what its state holds, detached
  // from the interpreter since that can wait for a spill and remove many files.
  // REQUIRES: the calling thread is attached, or the interpreter is finalizing.
  static void release(Lock* lock);

  // Keeps the stats of a sort whose reading ended; only the first call counts. Any thread.
  void publish_stats(const sorter::Stats& stats);
  // The stats published, if any. Any thread, without waiting.
  std::optional<sorter::Stats> stats() const;

 private:
  explicit Lock(State state) : state_(std::move(state)) {}

  std::mutex mutex_;
  State state_;                           // guarded by mutex_
  std::atomic<std::uint64_t> owner_{0};   // the mark of the thread holding mutex_, or 0
  std::atomic<std::uint32_t> refs_{1};    // handles: the sorter, its iterators
  // kStatsNone, then kStatsWriting while the one publisher writes `stats_`, then
  // kStatsReady, after which `stats_` never changes.
  std::atomic<std::uint8_t> stats_state_{0};
  sorter::Stats stats_;
};

}  // namespace lodestack::python

#endif  // LODESTACK_PYTHON_LOCK_H_
