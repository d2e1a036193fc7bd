// A sorter's own pool of worker threads, running fork-join tasks.
//
// A `Pool` has a fixed number of threads named "lodestack-sort-{i}". It is shared through
// `std::shared_ptr` by the core sorter, its spill jobs and its run writers; the threads are
// joined when the last handle goes. Work enters through `join` and `for_each`, which return
// only when every task they started has finished, or through `start`, which returns at
// once and is paired with a later `wait`. They may be called from any thread: a thread
// outside the pool blocks until the work is done, while a worker of this pool that waits
// runs tasks itself (its own or others') instead of waiting idle, so nested fork-join
// never deadlocks and never leaves a core unused.
//
// None of them allocates or throws. They are called from inside pool tasks (a parallel
// sort nests them), where an exception could only end the process, so running out of
// memory must not be able to reach them: a call's tasks are described by one `Batch`
// record, on the caller's stack for `for_each` and owned by the caller of `start`, linked
// into the queue, and the work itself is only referred to, never copied.
//
// Tasks must not throw and must not touch Python.
#ifndef LODESTACK_SORTER_POOL_H_
#define LODESTACK_SORTER_POOL_H_

#include <concepts>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "error/error.h"

namespace lodestack::sorter {

// Names the calling thread; Linux keeps the first 15 bytes of `name`.
void name_thread(std::string_view name);

// Refers to a callable taking an index, without owning or copying it; the callable must
// outlive every call through the reference. Converts implicitly, so that a lambda can be
// passed where a `TaskRef` is expected: it lives until the end of the full expression.
class TaskRef final {
 public:
  // Refers to nothing: only for a batch not started yet.
  TaskRef() noexcept = default;

  template <typename F>
    requires(!std::same_as<std::remove_cvref_t<F>, TaskRef> &&
             std::invocable<std::remove_reference_t<F>&, std::size_t>)
  TaskRef(F&& f) noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, std::size_t i) {
          (*static_cast<std::remove_reference_t<F>*>(object))(i);
        }) {}

  void operator()(std::size_t i) const { call_(object_, i); }

 private:
  void* object_ = nullptr;
  void (*call_)(void*, std::size_t) = nullptr;
};

class Pool final {
 public:
  // One batch of tasks: what to run and how far it has got. Idle until `start`, and again
  // once `wait` on it has returned. While started it is linked into the pool's queue and
  // read by the workers, so its owner keeps it in place (it moves only while idle), and
  // keeps alive the callable it refers to, until that `wait` returns.
  class Batch final {
   public:
    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    friend class Pool;
    TaskRef task_;
    // Guarded by the pool's mutex_ while started.
    std::size_t n_ = 0;
    std::size_t next_ = 0;        // the next index to hand out
    std::size_t unfinished_ = 0;  // tasks started but not finished
    Batch* older_ = nullptr;      // queue links, while some index is not handed out
    Batch* newer_ = nullptr;
  };

  // Starts `threads` workers (at least 1). Fails with an Io error of kind Other when a
  // thread cannot be started; the threads already started are stopped and joined.
  static Result<std::shared_ptr<Pool>> start(std::size_t threads);

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  ~Pool();

  std::size_t threads() const { return workers_.size(); }

  // True when the calling thread is one of this pool's workers.
  bool in_pool() const;

  // Runs `a()` and `b()`, possibly at the same time; both have finished on return.
  template <typename A, typename B>
  void join(A&& a, B&& b) noexcept {
    for_each(2, [&a, &b](std::size_t i) {
      if (i == 0) {
        a();
      } else {
        b();
      }
    });
  }

  // Runs task(i) for every i in [0, n), possibly at the same time; all have finished on
  // return.
  void for_each(std::size_t n, TaskRef task) noexcept;

  // Starts task(i) for every i in [0, n) on the workers, and returns at once: the caller
  // goes on with other work while they run. REQUIRES: `batch` is idle; it and `task`'s
  // callable stay where they are until `wait(batch)` returns.
  void start(Batch& batch, std::size_t n, TaskRef task) noexcept;

  // Returns once every task of `batch` has finished (at once when it is idle), leaving it
  // idle. The caller first runs the batch's tasks that no worker has taken yet; a worker
  // of this pool then runs other tasks while it waits.
  void wait(Batch& batch) noexcept;

 private:
  Pool() = default;
  void work(std::size_t index);
  // Takes the next index of a queued batch, unlinking the batch when it was the last.
  std::size_t claim(Batch& batch);
  // Runs task(i) of `batch` unlocked, then counts it finished.
  void run(Batch& batch, std::size_t i, std::unique_lock<std::mutex>& lock);
  // Fills in `batch` and links it at the newest end of the queue.
  void enqueue(Batch& batch, std::size_t n, TaskRef task);
  // Waits for `batch` to finish, running the newest batch's tasks meanwhile on a worker.
  void finish(Batch& batch, std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  // A batch was queued, a batch finished, or stopping_ was set.
  std::condition_variable ready_;
  // The batches with indices not yet handed out, oldest first, linked through their own
  // fields; guarded by mutex_.
  Batch* oldest_ = nullptr;
  Batch* newest_ = nullptr;
  bool stopping_ = false;  // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_POOL_H_
