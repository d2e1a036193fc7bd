// A sorter's own pool of worker threads, running fork-join tasks.
//
// A `Pool` has a fixed number of threads named "lodestack-sort-{i}". It is shared through
// `std::shared_ptr` by the core sorter, its spill jobs and its run writers; the threads are
// joined when the last handle goes. Work enters through `join` and `for_each`, which return
// only when every task they started has finished. They may be called from any thread: a
// thread outside the pool blocks until the work is done, while a worker of this pool that
// calls them runs tasks itself (its own or others') instead of waiting idle, so nested
// fork-join never deadlocks and never leaves a core unused.
//
// `join` and `for_each` never allocate and never throw. They are called from inside pool
// tasks (a parallel sort nests them), where an exception could only end the process, so
// running out of memory must not be able to reach them: a call's tasks are described by
// one record on the caller's stack, linked into the queue, and the work itself is only
// referred to, never copied.
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
  void* object_;
  void (*call_)(void*, std::size_t);
};

class Pool final {
 public:
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

 private:
  struct Batch;

  Pool() = default;
  void work(std::size_t index);
  // Takes the next index of a queued batch, unlinking the batch when it was the last.
  std::size_t claim(Batch& batch);
  // Runs task(i) of `batch` unlocked, then counts it finished.
  void run(Batch& batch, std::size_t i, std::unique_lock<std::mutex>& lock);

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
