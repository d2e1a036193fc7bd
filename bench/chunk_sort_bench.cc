// How fast a chunk sorts: `Chunk::sort` without a pool and on a pool of 2 workers, against
// `std::sort` with the same comparator on the same entries, all in one run so that the
// ratios compare like with like on a shared machine.
//
//   chunk_sort_bench [entries] [repeats]     (default 8000000 entries, 3 repeats)
//
// Every item has a random 10-byte key and an 8-byte payload. Each repeat sorts a fresh
// copy of the same chunk; the table shows the best repeat of each contender, and the run
// fails if the three orders differ.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sorter/chunk.h"
#include "sorter/pool.h"

namespace {

using lodestack::sorter::Chunk;
using lodestack::sorter::Entry;
using lodestack::sorter::Pool;

constexpr std::size_t kKeyLen = 10;
constexpr std::size_t kPayloadLen = 8;

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

// The same chunk every time: the seed is fixed.
Chunk make_chunk(std::size_t n) {
  Chunk chunk;
  std::uint64_t state = 42;
  std::uint8_t key[16];
  std::uint8_t payload[kPayloadLen];
  const std::uint64_t budget = ~std::uint64_t{0} / 4;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t a = splitmix(state);
    const std::uint64_t b = splitmix(state);
    std::memcpy(key, &a, 8);
    std::memcpy(key + 8, &b, 8);
    std::memcpy(payload, &i, sizeof payload);
    if (!chunk.make_room(kKeyLen + kPayloadLen, budget)) std::abort();
    chunk.append({key, kKeyLen}, {payload, kPayloadLen});
  }
  return chunk;
}

// Wall-clock and processor seconds of one run. On a shared machine the processor time
// shows whether a slow parallel run lacked cores or did more work.
struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_seconds();

  static double cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  }
};

struct Best {
  double wall = 1e300;
  double cpu = 0;

  void add(const Timer& t) {
    const double wall_now =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t.wall).count();
    if (wall_now < wall) {
      wall = wall_now;
      cpu = Timer::cpu_seconds() - t.cpu;
    }
  }
};

// The order the chunk promises, written out directly.
struct Less {
  const Chunk* chunk;
  bool operator()(const Entry& a, const Entry& b) const {
    const auto x = chunk->key(a);
    const auto y = chunk->key(b);
    const std::size_t common = std::min(x.size(), y.size());
    const int c = common == 0 ? 0 : std::memcmp(x.data(), y.data(), common);
    if (c != 0) return c < 0;
    if (x.size() != y.size()) return x.size() < y.size();
    if (a.offset != b.offset) return a.offset < b.offset;
    return a.payload_len < b.payload_len;
  }
};

bool same_order(std::span<const Entry> x, std::span<const Entry> y) {
  return x.size() == y.size() &&
         std::equal(x.begin(), x.end(), y.begin(), [](const Entry& a, const Entry& b) {
           return a.offset == b.offset && a.key_len == b.key_len &&
                  a.payload_len == b.payload_len;
         });
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8'000'000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  auto pool = Pool::start(2);
  if (!pool) {
    std::fprintf(stderr, "cannot start the pool: %s\n", pool.error().text().c_str());
    return 1;
  }

  Best best_std;
  Best best_seq;
  Best best_pool;
  std::vector<Entry> reference;
  bool agree = true;
  for (int r = 0; r < repeats; ++r) {
    {
      const Chunk chunk = make_chunk(n);
      std::vector<Entry> entries(chunk.entries().begin(), chunk.entries().end());
      const Timer timer;
      std::sort(entries.begin(), entries.end(), Less{&chunk});
      best_std.add(timer);
      reference = std::move(entries);
    }
    {
      Chunk chunk = make_chunk(n);
      const Timer timer;
      chunk.sort(nullptr);
      best_seq.add(timer);
      agree = agree && same_order(chunk.entries(), reference);
    }
    {
      Chunk chunk = make_chunk(n);
      const Timer timer;
      chunk.sort(pool->get());
      best_pool.add(timer);
      agree = agree && same_order(chunk.entries(), reference);
    }
  }

  std::printf("%zu entries, %zu-byte random keys, %zu-byte payloads, best of %d\n", n, kKeyLen,
              kPayloadLen, repeats);
  std::printf("%-28s %10s %12s %16s\n", "contender", "seconds", "cpu seconds",
              "entries/second");
  const auto row = [n](const char* name, const Best& b) {
    std::printf("%-28s %10.3f %12.3f %16.0f\n", name, b.wall, b.cpu,
                static_cast<double>(n) / b.wall);
  };
  row("std::sort, same comparator", best_std);
  row("Chunk::sort, no pool", best_seq);
  row("Chunk::sort, pool of 2", best_pool);
  std::printf("no pool / std::sort:  %.2fx\n", best_std.wall / best_seq.wall);
  std::printf("pool of 2 / no pool:  %.2fx\n", best_seq.wall / best_pool.wall);
  if (!agree) {
    std::printf("the sorted orders differ\n");
    return 1;
  }
  return 0;
}
