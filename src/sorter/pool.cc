#include "sorter/pool.h"

#include <pthread.h>

#include <algorithm>
#include <string>
#include <system_error>

namespace lodestack::sorter {

namespace {

// The pool whose worker the current thread is, if any.
thread_local const Pool* tls_pool = nullptr;

}  // namespace

struct Pool::Task {
  std::function<void()> fn;
  bool done = false;  // guarded by the pool's mutex_
};

void name_thread(const std::string& name) {
  // Linux keeps 15 bytes of a thread's name and refuses longer ones outright, so cut it.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
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
  name_thread("lodestack-sort-" + std::to_string(index));
  tls_pool = this;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (run_one(lock)) continue;
    if (stopping_) return;
    ready_.wait(lock);
  }
}

bool Pool::run_one(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) return false;
  Task* const task = queue_.front();
  queue_.pop_front();
  lock.unlock();
  task->fn();
  lock.lock();
  task->done = true;
  ready_.notify_all();
  return true;
}

void Pool::run_all(std::span<Task> tasks) {
  if (tasks.empty()) return;
  const bool worker = in_pool();
  std::unique_lock lock(mutex_);
  // A worker keeps the first task for itself, so that a fork-join recursion goes on in
  // depth on this thread while the queued halves spread over the others.
  for (std::size_t i = worker ? 1 : 0; i < tasks.size(); ++i) queue_.push_back(&tasks[i]);
  ready_.notify_all();
  if (worker) {
    lock.unlock();
    tasks[0].fn();
    lock.lock();
    tasks[0].done = true;
  }
  const auto all_done = [&] {
    for (const Task& task : tasks) {
      if (!task.done) return false;
    }
    return true;
  };
  while (!all_done()) {
    if (worker && !queue_.empty()) {
      // A waiting worker helps, but with the newest task, not the oldest that idle
      // workers take. Its own unfinished task is the newest unless another worker has
      // stolen it, and whatever it runs here nests on its stack: taking the oldest would
      // start the biggest pending piece of work on top of this frame, then the next one
      // on top of that, until the stack overflows (a join recursion 16 levels deep did).
      Task* const task = queue_.back();
      queue_.pop_back();
      lock.unlock();
      task->fn();
      lock.lock();
      task->done = true;
      ready_.notify_all();
      continue;
    }
    ready_.wait(lock);
  }
}

void Pool::join(const std::function<void()>& a, const std::function<void()>& b) {
  Task tasks[2] = {{[&a] { a(); }}, {[&b] { b(); }}};
  run_all(tasks);
}

void Pool::for_each(std::size_t n, const std::function<void(std::size_t)>& task) {
  std::vector<Task> tasks(n);
  for (std::size_t i = 0; i < n; ++i) tasks[i].fn = [&task, i] { task(i); };
  run_all(tasks);
}

}  // namespace lodestack::sorter
