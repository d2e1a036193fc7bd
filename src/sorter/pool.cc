#include "sorter/pool.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace lodestack::sorter {

namespace {

// The pool whose worker the current thread is, if any.
thread_local const Pool* tls_pool = nullptr;

}  // namespace

// One for_each call: its tasks and how far they have got. It lives on the caller's stack,
// which outlives it, since the call returns only once every task has finished; while
// some index is not yet handed out it is linked into the pool's queue.
struct Pool::Batch {
  Batch(TaskRef t, std::size_t count) : task(t), n(count), unfinished(count) {}

  const TaskRef task;
  const std::size_t n;
  std::size_t next = 0;    // the next index to hand out; guarded by the pool's mutex_
  std::size_t unfinished;  // tasks not yet finished; guarded by the pool's mutex_
  Batch* older = nullptr;  // queue links, while linked; guarded by the pool's mutex_
  Batch* newer = nullptr;
};

void name_thread(const std::string_view name) {
  // Linux keeps 15 bytes of a thread's name and refuses longer ones outright, so cut it.
  char cut[16] = {};
  name.copy(cut, sizeof cut - 1);
  pthread_setname_np(pthread_self(), cut);
}

Result<std::shared_ptr<Pool>> Pool::start(std::size_t threads) {
  // A pool without workers would accept tasks that nobody ever runs, and its first
  // caller would wait forever.
  threads = std::max<std::size_t>(threads, 1);
  std::shared_ptr<Pool> pool(new Pool());
  pool->workers_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      pool->workers_.emplace_back([raw = pool.get(), i] { raw->work(i); });
    } catch (const std::system_error& e) {
      // The destructor stops and joins the workers started so far.
      return fail(Error::io(ErrorKind::kOther, e.what()));
    }
  }
  return pool;
}

Pool::~Pool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool Pool::in_pool() const { return tls_pool == this; }

void Pool::work(std::size_t index) {
  // Named without allocating: a thread body has nowhere to report running out of memory.
  char name[32];
  std::snprintf(name, sizeof name, "lodestack-sort-%zu", index);
  name_thread(name);
  tls_pool = this;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (oldest_ != nullptr) {
      Batch& batch = *oldest_;
      run(batch, claim(batch), lock);
      continue;
    }
    if (stopping_) return;
    ready_.wait(lock);
  }
}

std::size_t Pool::claim(Batch& batch) {
  const std::size_t i = batch.next++;
  if (batch.next == batch.n) {
    (batch.older != nullptr ? batch.older->newer : oldest_) = batch.newer;
    (batch.newer != nullptr ? batch.newer->older : newest_) = batch.older;
  }
  return i;
}

void Pool::run(Batch& batch, const std::size_t i, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  batch.task(i);
  lock.lock();
  // The batch's caller may return, and its batch go, as soon as the lock is let go after
  // this: it is not touched again.
  if (--batch.unfinished == 0) ready_.notify_all();
}

void Pool::for_each(const std::size_t n, const TaskRef task) noexcept {
  if (n == 0) return;
  Batch batch(task, n);
  const bool worker = in_pool();
  std::unique_lock lock(mutex_);
  // GCC sees a local's address stored in the pool. It is unlinked before this returns:
  // the call waits for every task to finish, and each was claimed first.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
  batch.older = newest_;
  (newest_ != nullptr ? newest_->newer : oldest_) = &batch;
  newest_ = &batch;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  // A worker keeps the first task for itself, so that a fork-join recursion goes on in
  // depth on this thread while the queued rest spreads over the others.
  const std::size_t own = worker ? claim(batch) : 0;
  if (batch.next < n) ready_.notify_all();
  if (worker) run(batch, own, lock);
  while (batch.unfinished != 0) {
    if (worker && newest_ != nullptr) {
      // A waiting worker helps, but with the newest batch, not the oldest that idle
      // workers take. Its own unfinished tasks are the newest unless other workers have
      // taken them all, and whatever it runs here nests on its stack: taking the oldest
      // would start the biggest pending piece of work on top of this frame, then the next
      // one on top of that, until the stack overflows (a join recursion 16 levels deep
      // did).
      Batch& newest = *newest_;
      run(newest, claim(newest), lock);
      continue;
    }
    ready_.wait(lock);
  }
}

}  // namespace lodestack::sorter
