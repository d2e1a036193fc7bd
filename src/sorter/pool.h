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
// Tasks must not throw and must not touch Python.
#ifndef LODESTACK_SORTER_POOL_H_
#define LODESTACK_SORTER_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "error/error.h"

namespace lodestack::sorter {

// Names the calling thread; Linux keeps the first 15 bytes of `name`.
void name_thread(const std::string& name);

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

  // Runs `a` and `b`, possibly at the same time; both have finished on return.
  void join(const std::function<void()>& a, const std::function<void()>& b);

  // Runs task(i) for every i in [0, n), possibly at the same time; all have finished on
  // return.
  void for_each(std::size_t n, const std::function<void(std::size_t)>& task);

 private:
  struct Task;

  Pool() = default;
  void work(std::size_t index);
  // Queues `tasks` and returns when all of them have run, helping if called by a worker.
  void run_all(std::span<Task> tasks);
  bool run_one(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable ready_;  // a task was queued, one finished, or stopping_ was set
  std::deque<Task*> queue_;        // guarded by mutex_
  bool stopping_ = false;          // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_POOL_H_
