#include "sorter/chunk.h"

#include <sys/mman.h>
#include <unistd.h>

#include "testing/helpers.h"

namespace lodestack::sorter {
namespace {

using namespace testing_helpers;
using Caps = std::pair<std::uint64_t, std::uint64_t>;  // of the bytes and of the entries
constexpr std::uint64_t kHalf = 134217728, kClear = ~0ull;

Caps caps(const Chunk& chunk) { return {chunk.bytes_capacity(), chunk.entries_capacity()}; }

// A chunk holding items of the sizes given (count, size; kClear empties it) asked for room
// for one more: what it answers, and the capacities it grows to.
TEST(ChunkTest, RoomGrowsWithinTheBudgetThenAnswersFull) {
  using enum Room::Kind;
  using Sizes = std::vector<std::pair<int, std::uint64_t>>;
  const std::tuple<std::uint64_t, Sizes, std::uint64_t, Room::Kind, Caps> cases[] = {
      // The first item: the doubling floors while they fit the budget, else just the item.
      {kHalf, {}, 100, kGrow, {65536, 1024}},
      {kHalf, {}, 100000, kGrow, {100000, 1024}},
      {81920, {}, 100, kGrow, {65536, 1024}},
      {81919, {}, 100, kGrow, {100, 1}},
      {kHalf, {}, kHalf - 16384, kGrow, {kHalf - 16384, 1024}},
      {kHalf, {}, kHalf - 16383, kGrow, {kHalf - 16383, 1}},
      // Never full when empty; an oversized item is taken alone, then the chunk is full.
      {0, {}, 0, kGrow, {0, 1}},
      {1000, {{1, 5000}}, 0, kFull, {}},
      {1000, {{1, 5000}, {1, kClear}}, 5000, kFits, {}},
      {1000, {{1, 5000}, {1, kClear}}, 5001, kGrow, {5001, 1}},
      // Doubling: the entries at the 1025th item, the bytes past 65536 or to the item.
      {kHalf, {{1, 100}, {1023, 1}}, 1, kGrow, {65536, 2048}},
      {kHalf, {{1, 100}, {1024, 1}}, 64412, kFits, {}},
      {kHalf, {{1, 100}, {1024, 1}}, 64413, kGrow, {131072, 2048}},
      {kHalf, {{1, 100}, {1024, 1}}, 200000, kGrow, {201124, 2048}},
      // Past the doubling the whole budget is split in proportion to need, if that stays
      // within seven eighths of it; the split may also shrink a buffer.
      {1000, {{1, 5000}, {1, kClear}, {1, 1}}, 1, kGrow, {58, 58}},
      {80000, {{1, 100}}, 100, kGrow, {68965, 689}},
      {80000, {{1, 100}}, 69868, kGrow, {79963, 2}},
      {80000, {{1, 100}}, 69869, kFull, {}},
      {200000, {{1, 70000}, {1, 1}, {2046, 0}}, 0, kGrow, {136208, 3987}},
  };
  for (const auto& [budget, sizes, need, kind, grown] : cases) {
    Chunk chunk;
    for (const auto& [count, size] : sizes) {
      for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(size == kClear || chunk.make_room(size, budget));
        size == kClear ? chunk.clear() : chunk.append(view(std::string(size, 'k')), {});
      }
    }
    const Caps before = caps(chunk);
    EXPECT_EQ(chunk.room(need, budget).kind, kind) << budget << ", " << need;
    EXPECT_EQ(chunk.make_room(need, budget), kind != kFull);
    EXPECT_EQ(caps(chunk), kind == kGrow ? grown : before) << budget << ", " << need;
  }
  Chunk chunk;  // n * budget near 2^66: the buffers are reserved, never touched
  ASSERT_TRUE(chunk.make_room(11ull << 28, 5ull << 30));
  chunk.append(view("k"), {});
  const Room r = chunk.room((1ull << 32) - 1, 5ull << 30);  // n = 2^32, T = 2^32 + 32
  EXPECT_EQ(Caps(r.bytes_capacity, r.entries_capacity), Caps(5368709080, 2));
}

// Random chunks against a stable sort of their items, walked in every order, without a pool
// and on pools of 2 and 3, within one scratch block or through the parallel passes. A budget
// past the address space cannot be reserved, so with it every growth copies.
TEST(ChunkTest, SortAndWalkMatchAStableSortOfTheItems) {
  std::mt19937_64 rng = seeded();
  const auto tail = [&](std::string_view letters, std::size_t max_len) {
    std::string s(rng() % (max_len + 1), '\0');
    for (char& c : s) c = letters.empty() ? rng() : letters[rng() % letters.size()];
    return s;
  };
  using Key = std::function<std::string(std::size_t)>;
  const Key bytes = [&](std::size_t) { return tail("", 10); };
  const std::pair<std::size_t, Key> shapes[] = {
      {0, bytes},
      {3000, bytes},
      {200000, bytes},
      {3000, [&](std::size_t) { return tail("\0\x80\xff"sv, 6); }},
      {3000, [&](std::size_t) { return tail("\xaa", 40); }},
      {200000, [&](std::size_t) { return std::string(40, 'p') + tail("\0\1"sv, 20); }},
      {200000, [&](std::size_t) { return tail(std::string(15, '\0') + "\1", 7); }},
      {2, [](std::size_t i) { return i ? "a"s : "b"s; }},
      {200000, [](std::size_t) { return ""s; }},
      {200000, [&](std::size_t) { return rng() % 4 ? "a"s : "b"s; }},
      // Three first bytes: a pool of 3 gives each worker a third of every byte's range, and
      // every item a worker meets there belongs to the same other byte.
      {300000,
       [&](std::size_t i) { return "CAB"[std::min(i % 100000 / 33333, 2ul)] + bytes(i); }},
  };
  std::shared_ptr<Pool> pools[] = {nullptr, Pool::start(2).value(), Pool::start(3).value()};
  for (const auto& [n, key] : shapes) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < n; ++i) items.push_back({key(i), tail("", 2)});
    std::vector<Item> expected[4];
    for (int o = 0; o < 4; ++o) expected[o] = sorted(items, kOrders[o]);
    for (const std::shared_ptr<Pool>& pool : pools) {
      Chunk chunk;
      for (const Item& item : items) {
        ASSERT_TRUE(chunk.make_room(item.key.size() + item.payload.size(),
                                    pool == pools[1] ? 1ull << 62 : 1ull << 40));
        chunk.append(view(item.key), view(item.payload));
      }
      chunk.sort(pool.get());
      for (int o = 0; o < 4; ++o) {
        Walk walk(kOrders[o]);
        std::vector<Item> got;
        while (const Entry* const e = walk.next(chunk))
          got.push_back({text(chunk.key(*e)), text(chunk.payload(*e))});
        ASSERT_EQ(got, expected[o]) << n << " items, " << (pool ? pool->threads() : 0)
                                    << " threads, order " << o;
        EXPECT_EQ(walk.dropped(), n - got.size());
      }
    }
  }
}

// Pages are committed only once written, and given back past a shrunk capacity; what lies
// within the capacity survives shrinking, growing in place and growing past the reservation.
TEST(RegionTest, CommitsWhatIsWrittenAndKeepsItThroughResizes) {
  const std::size_t page = ::sysconf(_SC_PAGESIZE), kept = 20 * page + 100;
  Region region;
  const auto resident = [&] {
    std::vector<unsigned char> pages(64);
    EXPECT_EQ(::mincore(region.get(), 64 * page, pages.data()), 0);
    return std::ranges::count_if(pages, [](unsigned char p) { return p & 1; });
  };
  const auto intact = [&] {
    for (std::size_t i = 0; i < kept; ++i)
      if (region.get()[i] != static_cast<std::uint8_t>(i % 251)) return false;
    return true;
  };
  region.resize(64 * page, 0, 256 * page);
  EXPECT_EQ(resident(), 0);
  for (std::size_t i = 0; i < 40 * page; ++i)
    region.get()[i] = static_cast<std::uint8_t>(i % 251);
  EXPECT_EQ(resident(), 40);
  region.resize(kept, kept, 256 * page);
  EXPECT_EQ(resident(), 21);
  EXPECT_TRUE(intact());
  std::uint8_t* const data = region.get();
  region.resize(128 * page, kept, 256 * page);
  EXPECT_TRUE(region.get() == data && intact());
  region.resize(512 * page, kept, 256 * page);
  EXPECT_TRUE(intact());
}

}  // namespace
}  // namespace lodestack::sorter
