#include "sorter/pool.h"

#include <pthread.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace lodestack::sorter {

namespace {

// The pool whose worker the current thread is, if any.
thread_local const Pool* tls_pool = nullptr;

}  // namespace

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
  const std::size_t i = batch.next_++;
  if (batch.next_ == batch.n_) {
    (batch.older_ != nullptr ? batch.older_->newer_ : oldest_) = batch.newer_;
    (batch.newer_ != nullptr ? batch.newer_->older_ : newest_) = batch.older_;
  }
  return i;
}

void Pool::run(Batch& batch, const std::size_t i, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  batch.task_(i);
  lock.lock();
  // The batch's owner may return from its wait, and the batch go, as soon as the lock is
  // let go after this: it is not touched again.
  if (--batch.unfinished_ == 0) ready_.notify_all();
}

void Pool::enqueue(Batch& batch, const std::size_t n, const TaskRef task) {
  batch.task_ = task;
  batch.n_ = n;
  batch.next_ = 0;
  batch.unfinished_ = n;
  batch.newer_ = nullptr;
  // GCC sees a local's address stored in the pool when for_each is inlined. It is
  // unlinked before the batch goes: its owner waits for every task to finish, and each
  // was claimed first.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
  batch.older_ = newest_;
  (newest_ != nullptr ? newest_->newer_ : oldest_) = &batch;
  newest_ = &batch;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

void Pool::finish(Batch& batch, std::unique_lock<std::mutex>& lock) {
  const bool worker = in_pool();
  while (batch.unfinished_ != 0) {
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

void Pool::for_each(const std::size_t n, const TaskRef task) noexcept {
  if (n == 0) return;
  Batch batch;
  const bool worker = in_pool();
  std::unique_lock lock(mutex_);
  enqueue(batch, n, task);
  // A worker keeps the first task for itself, so that a fork-join recursion goes on in
  // depth on this thread while the queued rest spreads over the others.
  const std::size_t own = worker ? claim(batch) : 0;
  if (batch.next_ < n) ready_.notify_all();
  if (worker) run(batch, own, lock);
  finish(batch, lock);
}

void Pool::start(Batch& batch, const std::size_t n, const TaskRef task) noexcept {
  if (n == 0) return;
  {
    std::lock_guard lock(mutex_);
    assert(batch.unfinished_ == 0);
    enqueue(batch, n, task);
  }
  ready_.notify_all();
}

void Pool::wait(Batch& batch) noexcept {
  std::unique_lock lock(mutex_);
  // Tasks that no worker has taken yet run here: waking a worker for them, and waiting
  // until the system gives it a core, can cost more than the task (compressing a block
  // takes about 0.1 ms), and on a busy machine much more.
  while (batch.next_ < batch.n_) run(batch, claim(batch), lock);
  finish(batch, lock);
}

}  // namespace lodestack::sorter
