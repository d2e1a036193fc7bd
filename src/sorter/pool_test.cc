#include "sorter/pool.h"

#include "testing/helpers.h"

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
    EXPECT_EQ(sum(*pool, 0, 1 << 16), (1ull << 16) * ((1 << 16) - 1) / 2);
    EXPECT_EQ(total, 40 * (523776 + 120));
  }
}

}  // namespace
}  // namespace lodestack::sorter
