#include "sorter/pool.h"

#include <cstdlib>
#include <new>

#include "testing/helpers.h"

namespace {
thread_local bool tls_no_memory = false;
}  // namespace

// This binary's operator new fails on a thread that has asked for it, as when memory runs
// out. It allocates with malloc, as libstdc++'s does, whose operator delete (kept) frees it.
// The sanitizers bring an operator new of their own, which stays: under them the
// allocation-free promise goes unchecked.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
[[gnu::noinline]] void* operator new(std::size_t size) {
  void* const p = tls_no_memory ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
#endif

namespace lodestack::sorter {
namespace {

// Sums [lo, hi) by halves with join: a deep nesting in which each level waits on the next.
std::uint64_t sum(Pool& pool, std::uint64_t lo, std::uint64_t hi) {
  if (hi - lo == 1) return lo;
  std::uint64_t left = 0, right = 0;
  pool.join([&] { left = sum(pool, lo, (lo + hi) / 2); },
            [&] { right = sum(pool, (lo + hi) / 2, hi); });
  return left + right;
}

TEST(PoolTest, RunsEveryTaskOnceOnItsNamedWorkers) {
  for (const std::size_t threads : {0, 1, 2, 3, 8}) {
    const std::shared_ptr<Pool> pool = Pool::start(threads).value();
    const std::size_t n = pool->threads();
    ASSERT_EQ(n, std::max<std::size_t>(threads, 1));
    std::vector<std::atomic<int>> runs(1000);
    pool->for_each(1000, [&](std::size_t i) { runs[i] += pool->in_pool() ? 1 : 100; });
    EXPECT_TRUE(std::ranges::all_of(runs, [](const auto& r) { return r == 1; }));
    EXPECT_FALSE(pool->in_pool());
    std::latch all_running(n);  // so that each task runs on a worker of its own
    std::vector<std::string> names(n);
    pool->for_each(n, [&](std::size_t i) {
      std::getline(std::ifstream("/proc/thread-self/comm"), names[i]);
      all_running.arrive_and_wait();
    });
    EXPECT_EQ(names, std::vector<std::string>(n, "lodestack-sort-"));  // 15 bytes kept
    // Nested work from several callers at once, and from the workers themselves.
    std::atomic<std::uint64_t> total = 0;
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) {
      callers.emplace_back([&] {
        const auto inner = [&] { pool->for_each(16, [&](std::size_t i) { total += i; }); };
        for (int round = 0; round < 10; ++round)
          pool->join([&] { total += sum(*pool, 0, 1024); }, inner);
      });
    }
    for (std::thread& caller : callers) caller.join();
    // From the workers, while memory has run out there: a task cannot report it.
    pool->for_each(10, [&](std::size_t) {
      tls_no_memory = true;
      pool->join([&] { total += sum(*pool, 0, 64); }, [&] { total += 1; });
      const auto add = [&](std::size_t i) { total += i; };  // outlives the batch
      Pool::Batch batch;
      pool->start(batch, 16, add);
      pool->wait(batch);
      tls_no_memory = false;
    });
    EXPECT_EQ(sum(*pool, 0, 1 << 16), (1ull << 16) * ((1 << 16) - 1) / 2);
    EXPECT_EQ(total, 40 * (523776 + 120) + 10 * (2016 + 1 + 120));
  }
}

// Two batches in flight at once, as a run writer keeps them, each waited for and started
// again in turn: when `wait` returns, every task of the batch has run, once.
TEST(PoolTest, WaitReturnsWhenEveryStartedTaskHasRun) {
  const std::shared_ptr<Pool> pool = Pool::start(3).value();
  std::vector<std::atomic<int>> runs(128);
  const auto work = [&](std::size_t i) {
    volatile std::uint64_t x = i;  // long enough for a wait that returns early to show
    for (int k = 0; k < 20000; ++k) x = x * 6364136223846793005u + 1;
    ++runs[i];
  };
  const auto second = [&](std::size_t i) { work(64 + i); };
  Pool::Batch batches[2];
  for (int round = 0; round < 100; ++round) {
    const int s = round % 2;
    pool->wait(batches[s]);  // idle in the first two rounds
    for (int i = 0; i < 64; ++i) ASSERT_EQ(runs[64 * s + i], round / 2) << round;
    if (s == 0) pool->start(batches[0], 64, work);
    if (s == 1) pool->start(batches[1], 64, second);
  }
  pool->wait(batches[0]);
  pool->wait(batches[1]);
  EXPECT_TRUE(std::ranges::all_of(runs, [](const auto& r) { return r == 50; }));
}

}  // namespace
}  // namespace lodestack::sorter
