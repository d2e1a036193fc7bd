#include "python/lock.h"

#include <Python.h>

#include "python/ref.h"

namespace lodestack::python {

namespace {

// A mark that differs between live threads and stays fixed within one: the address of a
// thread-local. Only a thread itself stores its own mark in `owner_`, so seeing it there
// proves this thread holds the mutex.
thread_local char tls_mark;

std::uint64_t mark() { return reinterpret_cast<std::uintptr_t>(&tls_mark); }

constexpr std::uint8_t kStatsNone = 0;
constexpr std::uint8_t kStatsWriting = 1;
constexpr std::uint8_t kStatsReady = 2;

}  // namespace

std::optional<Lock::Guard> Lock::lock() {
  if (owner_.load(std::memory_order_relaxed) == mark()) return std::nullopt;
  mutex_.lock();
  owner_.store(mark(), std::memory_order_relaxed);
  return Guard(this);
}

std::optional<Lock::Guard> Lock::try_lock() {
  // A signal handler run by the thread holding the mutex may come back here; trying a
  // mutex the caller holds already is undefined, so that case fails before touching it.
  if (owner_.load(std::memory_order_relaxed) == mark()) return std::nullopt;
  if (!mutex_.try_lock()) return std::nullopt;
  owner_.store(mark(), std::memory_order_relaxed);
  return Guard(this);
}

void Lock::publish_stats(const sorter::Stats& stats) {
  std::uint8_t none = kStatsNone;
  if (!stats_state_.compare_exchange_strong(none, kStatsWriting, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
    return;
  }
  stats_ = stats;
  stats_state_.store(kStatsReady, std::memory_order_release);
}

std::optional<sorter::Stats> Lock::stats() const {
  if (stats_state_.load(std::memory_order_acquire) != kStatsReady) return std::nullopt;
  return stats_;
}

void Lock::release(Lock* lock) {
  if (lock->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The last handle: no other thread can reach the state any more, so no mutex is needed.
  const bool heavy = std::holds_alternative<Adding>(lock->state_) ||
                     std::holds_alternative<Reading>(lock->state_);
  if (heavy && PyThreadState_GetUnchecked() != nullptr) {
    Detached detached;
    delete lock;
    return;
  }
  delete lock;
}

}  // namespace lodestack::python
