#include "sorter/pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {
thread_local bool tls_no_memory = false;
}  // namespace

// This test binary's operator new fails on a thread that has asked for it, as when memory
// runs out. It allocates as libstdc++'s own does, with malloc, which that library's
// operator delete (kept) frees. The sanitizers bring an operator new of their own, which
// stays: under them NoMemory changes nothing.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void* operator new(std::size_t size) {
  void* const p = tls_no_memory ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
#endif

namespace lodestack::sorter {
namespace {

// Makes operator new fail on the calling thread while it lives.
class NoMemory final {
 public:
  NoMemory() { tls_no_memory = true; }
  NoMemory(const NoMemory&) = delete;
  NoMemory& operator=(const NoMemory&) = delete;
  ~NoMemory() { tls_no_memory = false; }
};

std::shared_ptr<Pool> start(std::size_t threads) {
  auto pool = Pool::start(threads);
  EXPECT_TRUE(pool.has_value()) << pool.error().text();
  return *std::move(pool);
}

// The calling thread's name as the kernel keeps it.
std::string own_thread_name() {
  std::ifstream comm("/proc/thread-self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Sums [lo, hi) by splitting it in halves with join, down to single numbers: deep
// nesting, every level of it waiting on the level below.
std::uint64_t sum(Pool& pool, std::uint64_t lo, std::uint64_t hi) {
  if (hi - lo == 1) return lo;
  const std::uint64_t mid = lo + (hi - lo) / 2;
  std::uint64_t left = 0;
  std::uint64_t right = 0;
  pool.join([&] { left = sum(pool, lo, mid); }, [&] { right = sum(pool, mid, hi); });
  return left + right;
}

class PoolTest : public testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Threads, PoolTest, testing::Values(1, 2, 3, 8));

TEST_P(PoolTest, ForEachRunsEveryIndexOnceOnTheWorkers) {
  auto pool = start(GetParam());
  EXPECT_EQ(pool->threads(), GetParam());
  EXPECT_FALSE(pool->in_pool());
  for (const std::size_t n : {0, 1, 2, 7, 1000}) {
    std::vector<std::atomic<int>> runs(n);
    std::atomic<int> outside{0};
    pool->for_each(n, [&](std::size_t i) {
      runs[i].fetch_add(1);
      if (!pool->in_pool()) outside.fetch_add(1);
    });
    // Every task has finished on return, so these plain reads see all of them.
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "index " << i;
    EXPECT_EQ(outside.load(), 0) << "a caller outside the pool only waits";
  }
}

TEST_P(PoolTest, JoinRunsBothAndWaitsForThem) {
  auto pool = start(GetParam());
  std::string a;
  std::string b;
  pool->join([&] { a = "left"; }, [&] { b = "right"; });
  EXPECT_EQ(a, "left");
  EXPECT_EQ(b, "right");
}

TEST_P(PoolTest, NestedForkJoinsFromWorkersCompleteWithoutMemory) {
  auto pool = start(GetParam());
  // 2^16 leaves: far more nested joins than workers, many waiting at once. A waiting
  // worker that took the oldest queued task would nest whole subtrees on its stack and
  // overflow it here.
  constexpr std::uint64_t kLeaves = 1 << 16;
  EXPECT_EQ(sum(*pool, 0, kLeaves), kLeaves * (kLeaves - 1) / 2);
  // And fork-joins nested in for_each, from the workers themselves, while memory has run
  // out there: a pool task has no way to report a failure to allocate.
  std::atomic<int> inner{0};
  pool->for_each(10, [&](std::size_t) {
    EXPECT_TRUE(pool->in_pool());
    const NoMemory no_memory;
    pool->for_each(10, [&](std::size_t) { inner.fetch_add(1); });
    pool->join([&] { inner.fetch_add(1); }, [&] { inner.fetch_add(1); });
  });
  EXPECT_EQ(inner.load(), 120);
}

TEST_P(PoolTest, ManyExternalCallersAtOnce) {
  auto pool = start(GetParam());
  constexpr int kCallers = 8;
  constexpr int kRounds = 50;
  std::vector<std::uint64_t> totals(kCallers, 0);
  std::vector<std::thread> callers;
  std::barrier start_together(kCallers);
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      start_together.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        std::vector<std::uint64_t> pieces(16, 0);
        pool->for_each(pieces.size(), [&](std::size_t i) { pieces[i] = i + 1; });
        std::uint64_t left = 0;
        std::uint64_t right = 0;
        pool->join([&] { left = sum(*pool, 0, 64); }, [&] { right = 1; });
        for (const std::uint64_t p : pieces) totals[c] += p;
        totals[c] += left + right;
      }
    });
  }
  for (std::thread& t : callers) t.join();
  for (int c = 0; c < kCallers; ++c) {
    EXPECT_EQ(totals[c], kRounds * (136 + 2016 + 1)) << "caller " << c;
  }
}

TEST_P(PoolTest, WorkersAreNamed) {
  const std::size_t threads = GetParam();
  auto pool = start(threads);
  // Each task waits for all the others, so each runs on a worker of its own.
  std::latch all_running(static_cast<std::ptrdiff_t>(threads));
  std::vector<std::string> names(threads);
  std::vector<pid_t> ids(threads);
  pool->for_each(threads, [&](std::size_t i) {
    names[i] = own_thread_name();
    ids[i] = gettid();
    all_running.arrive_and_wait();
  });
  // "lodestack-sort-{i}" is 16 bytes or more, so the kernel shows its first 15.
  EXPECT_EQ(names, std::vector<std::string>(threads, "lodestack-sort-"));
  std::ranges::sort(ids);
  EXPECT_EQ(std::ranges::unique(ids).begin(), ids.end()) << "one task per worker";
}

TEST(PoolTest, StartsAtLeastOneWorker) {
  auto pool = start(0);
  EXPECT_EQ(pool->threads(), 1u);
  int ran = 0;
  pool->for_each(3, [&](std::size_t) { ++ran; });
  EXPECT_EQ(ran, 3);
}

TEST(NameThreadTest, KeepsTheFirstFifteenBytes) {
  for (const std::string name : {"short", "exactly-15-byte", "a-name-well-past-fifteen"}) {
    std::string seen;
    std::thread t([&] {
      name_thread(name);
      seen = own_thread_name();
    });
    t.join();
    EXPECT_EQ(seen, name.substr(0, 15));
  }
}

}  // namespace
}  // namespace lodestack::sorter
