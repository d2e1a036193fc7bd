#include "sorter/chunk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "sorter/pool.h"

namespace lodestack::sorter {
namespace {

constexpr std::uint64_t kDefaultHalf = 134217728;  // half of the default 256 MiB

ByteView view(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string str(ByteView v) { return {reinterpret_cast<const char*>(v.data()), v.size()}; }

// Adds an item as the sorter does: room first, then the bytes.
void add(Chunk& chunk, const std::string& key, const std::string& payload,
         std::uint64_t budget = ~std::uint64_t{0} >> 8) {
  ASSERT_TRUE(chunk.make_room(key.size() + payload.size(), budget));
  chunk.append(view(key), view(payload));
}

struct Caps {
  std::uint64_t bytes;
  std::uint64_t entries;
  bool operator==(const Caps&) const = default;
};

Caps caps(const Chunk& chunk) { return {chunk.bytes_capacity(), chunk.entries_capacity()}; }

void PrintTo(const Caps& c, std::ostream* os) {
  *os << "{bytes " << c.bytes << ", entries " << c.entries << "}";
}

void expect_grow(const Room& r, std::uint64_t bytes, std::uint64_t entries) {
  EXPECT_EQ(r.kind, Room::Kind::kGrow);
  EXPECT_EQ(r.bytes_capacity, bytes);
  EXPECT_EQ(r.entries_capacity, entries);
}

// ---------------------------------------------------------------------------------------
// room and make_room

struct FirstItemCase {
  std::uint64_t need;
  std::uint64_t budget;
  Caps expected;
};

class FirstItemTest : public testing::TestWithParam<FirstItemCase> {};

TEST_P(FirstItemTest, EmptyChunkGrowsToExactCapacities) {
  const FirstItemCase& c = GetParam();
  Chunk chunk;
  const Room r = chunk.room(c.need, c.budget);
  expect_grow(r, c.expected.bytes, c.expected.entries);
  EXPECT_EQ(caps(chunk), (Caps{0, 0})) << "room must change nothing";
  ASSERT_TRUE(chunk.make_room(c.need, c.budget));
  EXPECT_EQ(caps(chunk), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Budgets, FirstItemTest,
    testing::Values(
        // At least 81920 bytes: the doubling floors, or the item itself when larger.
        FirstItemCase{100, kDefaultHalf, {65536, 1024}},
        FirstItemCase{100000, kDefaultHalf, {100000, 1024}},
        FirstItemCase{0, kDefaultHalf, {0, 1024}}, FirstItemCase{100, 81920, {65536, 1024}},
        FirstItemCase{kDefaultHalf - 16384, kDefaultHalf, {kDefaultHalf - 16384, 1024}},
        // Below 81920, or an item too large for the floors: exactly the item, one entry.
        FirstItemCase{100, 81919, {100, 1}}, FirstItemCase{10, 2, {10, 1}},
        FirstItemCase{0, 0, {0, 1}},
        FirstItemCase{kDefaultHalf - 16383, kDefaultHalf, {kDefaultHalf - 16383, 1}},
        FirstItemCase{5 * kDefaultHalf, kDefaultHalf, {5 * kDefaultHalf, 1}}));

TEST(ChunkRoomTest, OversizedItemIsAcceptedAloneThenFull) {
  Chunk chunk;
  add(chunk, std::string(3000, 'k'), std::string(2000, 'p'), 1000);
  EXPECT_EQ(caps(chunk), (Caps{5000, 1}));
  EXPECT_GT(chunk.footprint(), 1000u);
  EXPECT_EQ(chunk.room(1, 1000).kind, Room::Kind::kFull);
  EXPECT_EQ(chunk.room(0, 1000).kind, Room::Kind::kFull);
  EXPECT_FALSE(chunk.make_room(1, 1000));
  EXPECT_EQ(caps(chunk), (Caps{5000, 1})) << "a refusal changes nothing";
  EXPECT_EQ(chunk.size(), 1u);

  // Emptied, the over-budget buffers take one item again without reallocating, and a
  // larger one grows the bytes to exactly that item.
  chunk.clear();
  EXPECT_EQ(chunk.room(5000, 1000).kind, Room::Kind::kFits);
  expect_grow(chunk.room(5001, 1000), 5001, 1);
  add(chunk, "k", "", 1000);
  // A second, small item brings the chunk back within budget: the split shrinks the
  // bytes. n = 2, T = 34: bytes 2 * 1000 / 34 = 58, entries (1000 - 58) / 16 = 58.
  expect_grow(chunk.room(1, 1000), 58, 58);
  add(chunk, "j", "", 1000);
  EXPECT_EQ(caps(chunk), (Caps{58, 58}));
  EXPECT_EQ(str(chunk.key(chunk.entries()[0])), "k");
  EXPECT_EQ(str(chunk.key(chunk.entries()[1])), "j");
}

TEST(ChunkRoomTest, NeverFullWhenEmpty) {
  for (const std::uint64_t budget : {0ull, 1ull, 2ull, 16ull, 81919ull, 81920ull, 1ull << 40}) {
    for (const std::uint64_t need : {0ull, 1ull, 65536ull, 1ull << 20, 1ull << 41}) {
      Chunk chunk;
      EXPECT_NE(chunk.room(need, budget).kind, Room::Kind::kFull)
          << "need " << need << ", budget " << budget;
    }
  }
}

TEST(ChunkRoomTest, CapacitiesDoubleWhileWithinBudget) {
  Chunk chunk;
  add(chunk, std::string(100, 'k'), "", kDefaultHalf);
  EXPECT_EQ(caps(chunk), (Caps{65536, 1024}));
  const std::uint8_t* const bytes = chunk.key(chunk.entries()[0]).data();
  for (int i = 1; i < 1024; ++i) add(chunk, "k", "", kDefaultHalf);
  EXPECT_EQ(caps(chunk), (Caps{65536, 1024}));
  EXPECT_EQ(chunk.key(chunk.entries()[0]).data(), bytes) << "items that fit never reallocate";
  // The 1025th item needs an entry: only the entries double.
  expect_grow(chunk.room(1, kDefaultHalf), 65536, 2048);
  add(chunk, "k", "", kDefaultHalf);
  EXPECT_EQ(caps(chunk), (Caps{65536, 2048}));
  // An item past the bytes: the bytes double, or grow to the item when that is more.
  const std::uint64_t used = chunk.bytes_len();
  expect_grow(chunk.room(65536 - used + 1, kDefaultHalf), 131072, 2048);
  expect_grow(chunk.room(200000, kDefaultHalf), used + 200000, 2048);
  EXPECT_EQ(chunk.room(65536 - used, kDefaultHalf).kind, Room::Kind::kFits);
}

// A chunk of budget 80000 holding one 100-byte item in capacities {100, 1}: doubling the
// entries to the 1024 floor would pass the budget, so a second item needs either the
// proportional split or, past seven eighths of the budget (70000), a spill.
class SplitTest : public testing::Test {
 protected:
  void SetUp() override {
    add(chunk_, std::string(60, 'k'), std::string(40, 'p'), kBudget);
    ASSERT_EQ(caps(chunk_), (Caps{100, 1}));
  }

  static constexpr std::uint64_t kBudget = 80000;
  Chunk chunk_;
};

TEST_F(SplitTest, SplitsTheWholeBudgetInProportion) {
  // n = 200, T = 200 + 16 * 2 = 232: bytes 200 * 80000 / 232, entries the rest / 16.
  expect_grow(chunk_.room(100, kBudget), 68965, 689);
  add(chunk_, "key", std::string(97, 'p'), kBudget);
  EXPECT_EQ(caps(chunk_), (Caps{68965, 689}));
  EXPECT_LE(chunk_.footprint(), kBudget);
  EXPECT_GT(chunk_.footprint(), kBudget - 16);
  EXPECT_EQ(str(chunk_.key(chunk_.entries()[0])), std::string(60, 'k'));
  EXPECT_EQ(str(chunk_.payload(chunk_.entries()[1])), std::string(97, 'p'));
}

TEST_F(SplitTest, FullPastSevenEighths) {
  // T = 100 + need + 32: 70000 is still allowed, 70001 is not.
  expect_grow(chunk_.room(69868, kBudget), 79963, 2);
  EXPECT_EQ(chunk_.room(69869, kBudget).kind, Room::Kind::kFull);
  EXPECT_FALSE(chunk_.make_room(69869, kBudget));
  EXPECT_EQ(caps(chunk_), (Caps{100, 1}));
}

TEST_F(SplitTest, NextItemsFitNearTheBudgetWithoutReallocating) {
  add(chunk_, "key", std::string(97, 'p'), kBudget);
  const std::uint8_t* const bytes = chunk_.key(chunk_.entries()[0]).data();
  const std::uint64_t footprint = chunk_.footprint();
  // About a seventh of slack: hundreds of further items fit as they are.
  int added = 0;
  while (chunk_.room(100, kBudget).kind == Room::Kind::kFits) {
    add(chunk_, "key", std::string(97, 'p'), kBudget);
    ++added;
  }
  EXPECT_EQ(added, 687) << "limited by the 689 entries";
  EXPECT_EQ(chunk_.footprint(), footprint);
  EXPECT_EQ(chunk_.key(chunk_.entries()[0]).data(), bytes);
}

TEST(ChunkRoomTest, SplitShrinksTheBufferThatNeedsLess) {
  // Doubling leaves the bytes with slack that the split hands over to the entries.
  constexpr std::uint64_t kBudget = 200000;
  Chunk chunk;
  add(chunk, std::string(70000, 'k'), "", kBudget);
  EXPECT_EQ(caps(chunk), (Caps{70000, 1024}));
  add(chunk, "k", "", kBudget);
  EXPECT_EQ(caps(chunk), (Caps{140000, 1024}));
  while (chunk.size() < 2048) add(chunk, "", "", kBudget);
  EXPECT_EQ(caps(chunk), (Caps{140000, 2048}));
  // n = 70001, T = 70001 + 16 * 2049 = 102785.
  expect_grow(chunk.room(0, kBudget), 136208, 3987);
  add(chunk, "", "", kBudget);
  EXPECT_EQ(caps(chunk), (Caps{136208, 3987}));
  EXPECT_EQ(chunk.bytes_len(), 70001u);
  EXPECT_EQ(str(chunk.key(chunk.entries()[0])), std::string(70000, 'k'));
  EXPECT_EQ(str(chunk.key(chunk.entries()[1])), "k");
}

TEST(ChunkRoomTest, SplitProductDoesNotOverflow) {
  // n * budget is about 2^66 here. The buffers are reserved, never touched.
  constexpr std::uint64_t kBudget = 5ull << 30;
  Chunk chunk;
  try {
    ASSERT_TRUE(chunk.make_room(11ull << 28, kBudget));
  } catch (const std::bad_alloc&) {
    GTEST_SKIP() << "cannot reserve 2.75 GiB of address space";
  }
  EXPECT_EQ(caps(chunk), (Caps{11ull << 28, 1024}));
  chunk.append(view("k"), {});
  // n = 2^32, T = 2^32 + 32.
  expect_grow(chunk.room((1ull << 32) - 1, kBudget), 5368709080, 2);
}

TEST(ChunkTest, AppendPacksKeyThenPayload) {
  Chunk chunk;
  add(chunk, "ab", "xyz");
  add(chunk, "", "");
  add(chunk, "", "q");
  add(chunk, "c", "");
  ASSERT_EQ(chunk.size(), 4u);
  const auto e = chunk.entries();
  EXPECT_EQ(e[0].offset, 0u);
  EXPECT_EQ(e[1].offset, 5u);
  EXPECT_EQ(e[2].offset, 5u);
  EXPECT_EQ(e[3].offset, 6u);
  EXPECT_EQ(str(chunk.key(e[0])), "ab");
  EXPECT_EQ(str(chunk.payload(e[0])), "xyz");
  EXPECT_EQ(str(chunk.payload(e[2])), "q");
  EXPECT_EQ(str(chunk.key(e[3])), "c");
  EXPECT_EQ(chunk.bytes_len(), 7u);
  EXPECT_EQ(chunk.stream_len(), 7u + 8 * 4);
}

TEST(ChunkTest, ClearKeepsCapacitiesReleaseFreesThem) {
  Chunk chunk;
  add(chunk, "key", "payload");
  const Caps before = caps(chunk);
  chunk.clear();
  EXPECT_TRUE(chunk.empty());
  EXPECT_EQ(chunk.bytes_len(), 0u);
  EXPECT_EQ(caps(chunk), before);
  add(chunk, "again", "");
  EXPECT_EQ(str(chunk.key(chunk.entries()[0])), "again");
  chunk.release();
  EXPECT_TRUE(chunk.empty());
  EXPECT_EQ(caps(chunk), (Caps{0, 0}));
  EXPECT_EQ(chunk.footprint(), 0u);
}

TEST(ChunkTest, MoveTakesEverythingAndLeavesAnEmptyChunk) {
  Chunk a;
  add(a, "key", "payload");
  const Caps before = caps(a);
  Chunk b(std::move(a));
  EXPECT_EQ(caps(b), before);
  EXPECT_EQ(str(b.payload(b.entries()[0])), "payload");
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(caps(a), (Caps{0, 0}));
  EXPECT_EQ(a.bytes_len(), 0u);

  Chunk c;
  add(c, "other", "");
  c = std::move(b);
  EXPECT_EQ(str(c.key(c.entries()[0])), "key");
  EXPECT_EQ(caps(b), (Caps{0, 0}));
  EXPECT_TRUE(b.empty());
  add(b, "reused", "");  // a moved-from chunk works as a new one
  EXPECT_EQ(str(b.key(b.entries()[0])), "reused");
}

// ---------------------------------------------------------------------------------------
// sort

struct Item {
  std::string key;
  std::string payload;
};

// The entries in the promised order: key bytes unsigned, a proper prefix first, equal
// keys in insertion order, computed by a stable sort of the entries as appended.
std::vector<Entry> expected_order(const Chunk& chunk) {
  std::vector<Entry> entries(chunk.entries().begin(), chunk.entries().end());
  std::ranges::stable_sort(entries, [&](const Entry& a, const Entry& b) {
    return std::ranges::lexicographical_compare(chunk.key(a), chunk.key(b));
  });
  return entries;
}

// The entries in a sort's final order with `order`: keys descending with `reverse`, equal
// keys in insertion order either way, and with `unique` the first of each key alone.
std::vector<Entry> expected_walk(const Chunk& chunk, std::vector<Entry> entries, Order order) {
  std::ranges::stable_sort(entries, [&](const Entry& a, const Entry& b) {
    return order.reverse ? std::ranges::lexicographical_compare(chunk.key(b), chunk.key(a))
                         : std::ranges::lexicographical_compare(chunk.key(a), chunk.key(b));
  });
  if (order.unique) {
    const auto [end, last] = std::ranges::unique(entries, [&](const Entry& a, const Entry& b) {
      return std::ranges::equal(chunk.key(a), chunk.key(b));
    });
    entries.erase(end, last);
  }
  return entries;
}

void expect_order(const Chunk& chunk, std::span<const Entry> got,
                  const std::vector<Entry>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(got[i].offset == expected[i].offset && got[i].key_len == expected[i].key_len &&
                got[i].payload_len == expected[i].payload_len)
        << "at " << i << ": key \"" << str(chunk.key(got[i])) << "\" offset " << got[i].offset
        << ", expected key \"" << str(chunk.key(expected[i])) << "\" offset "
        << expected[i].offset;
  }
}

void expect_order(const Chunk& chunk, const std::vector<Entry>& expected) {
  expect_order(chunk, chunk.entries(), expected);
}

std::shared_ptr<Pool> pool_of(int threads) {
  return threads == 0 ? nullptr : *Pool::start(static_cast<std::size_t>(threads));
}

Chunk build(const std::vector<Item>& items) {
  Chunk chunk;
  for (const Item& item : items) add(chunk, item.key, item.payload);
  return chunk;
}

// The pool sizes a sort runs with: 0 means no pool.
class SortTest : public testing::TestWithParam<int> {
 protected:
  void sort_and_check(Chunk& chunk) {
    const std::vector<Entry> expected = expected_order(chunk);
    chunk.sort(pool_.get());
    expect_order(chunk, expected);
  }

  std::vector<std::string> sorted_payloads(const std::vector<Item>& items) {
    Chunk chunk = build(items);
    chunk.sort(pool_.get());
    std::vector<std::string> out;
    for (const Entry& e : chunk.entries()) out.push_back(str(chunk.payload(e)));
    return out;
  }

  const std::shared_ptr<Pool> pool_ = pool_of(GetParam());
};

INSTANTIATE_TEST_SUITE_P(Pools, SortTest, testing::Values(0, 2, 3), [](const auto& info) {
  return info.param == 0 ? std::string("NoPool") : "Pool" + std::to_string(info.param);
});

TEST_P(SortTest, BytesCompareUnsignedAndPrefixesFirst) {
  const std::vector<Item> items = {
      {"\xff", "ff"}, {"abc", "abc"},   {"\x7f", "7f"}, {"ab", "ab"},
      {"", "empty"},  {"a\x80", "a80"}, {"a", "a"},     {std::string("a\0", 2), "a00"},
  };
  EXPECT_EQ(sorted_payloads(items),
            (std::vector<std::string>{"empty", "a", "a00", "ab", "abc", "a80", "7f", "ff"}));
}

TEST_P(SortTest, EqualKeysKeepInsertionOrderWithEmptyKeysAndPayloads) {
  std::vector<Item> items;
  for (int i = 0; i < 3000; ++i) {
    // Payloads carry the insertion index where there is one; entirely empty items share
    // their offset with the next item, which only the payload length can order.
    const std::string index = std::to_string(i);
    switch (i % 5) {
      case 0: items.push_back({"same", index}); break;
      case 1: items.push_back({"", index}); break;
      case 2: items.push_back({"", ""}); break;
      case 3: items.push_back({"", index}); break;
      case 4: items.push_back({"same", ""}); break;
    }
  }
  Chunk chunk = build(items);
  sort_and_check(chunk);
  // And spelled out for the first few: empty keys first, each key in insertion order.
  const auto e = chunk.entries();
  const std::vector<std::string> first = {"1", "", "3", "6", "", "8"};
  const std::vector<std::string> after = {"0", "", "5", "", "10"};
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(str(chunk.payload(e[i])), first[i]) << i;
    EXPECT_EQ(chunk.key(e[i]).size(), 0u);
  }
  EXPECT_EQ(e[1].offset, e[2].offset) << "an empty item shares its offset with the next";
  for (std::size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(str(chunk.payload(e[1800 + i])), after[i]) << i;
  }
}

TEST_P(SortTest, DegenerateChunks) {
  EXPECT_EQ(sorted_payloads({}), std::vector<std::string>{});
  EXPECT_EQ(sorted_payloads({{"k", "only"}}), std::vector<std::string>{"only"});
  EXPECT_EQ(sorted_payloads({{"b", "1"}, {"a", "2"}}), (std::vector<std::string>{"2", "1"}));
  // Nothing but empty items: no byte buffer at all behind the entries.
  Chunk chunk = build(std::vector<Item>(1000));
  EXPECT_EQ(chunk.bytes_capacity(), 0u);
  chunk.sort(pool_.get());
  ASSERT_EQ(chunk.size(), 1000u);
  for (const Entry& e : chunk.entries()) {
    EXPECT_TRUE(e.offset == 0 && e.key_len == 0 && e.payload_len == 0);
  }
}

// Key shapes that steer the sort through its different paths: short and long shared
// prefixes, nesting, skew, few distinct keys.
enum class Keys {
  kRandom10,
  kShortAlphabet,
  kLongSharedPrefix,
  kNested,
  kSkewed,
  kFewDistinct
};

std::string make_key(Keys shape, std::mt19937_64& rng) {
  const auto byte = [&] { return static_cast<char>(rng() & 0xFF); };
  std::string key;
  switch (shape) {
    case Keys::kRandom10:
      for (int i = 0; i < 10; ++i) key += byte();
      break;
    case Keys::kShortAlphabet: {
      const int len = static_cast<int>(rng() % 7);
      for (int i = 0; i < len; ++i) key += static_cast<char>('a' + rng() % 3);
      break;
    }
    case Keys::kLongSharedPrefix:
      key.assign(37, 'p');
      key += static_cast<char>(rng() % 2);
      key.append(19, 'q');
      for (int i = 0, len = static_cast<int>(rng() % 4); i < len; ++i) key += byte();
      break;
    case Keys::kNested:
      key.assign(rng() % 40, '\xaa');
      if (rng() % 2) key += byte();
      break;
    case Keys::kSkewed:
      key = rng() % 10 != 0 ? "\x01" : "";
      for (int i = 0; i < 6; ++i) key += static_cast<char>(rng() % 100 < 95 ? 0 : byte());
      break;
    case Keys::kFewDistinct:
      key = std::string(rng() % 4 + 1, static_cast<char>(0x80 + rng() % 2));
      break;
  }
  return key;
}

using ShapeCase = std::tuple<int, Keys, std::size_t>;  // threads (0: no pool), keys, items

class RandomSortTest : public testing::TestWithParam<ShapeCase> {};

std::string shape_test_name(const testing::TestParamInfo<ShapeCase>& info) {
  static const char* const kNames[] = {"Random10", "ShortAlphabet", "LongSharedPrefix",
                                       "Nested",   "Skewed",        "FewDistinct"};
  return "Threads" + std::to_string(std::get<0>(info.param)) +
         kNames[static_cast<int>(std::get<1>(info.param))] +
         std::to_string(std::get<2>(info.param));
}

TEST_P(RandomSortTest, MatchesStableSort) {
  const auto [threads, shape, n] = GetParam();
  const std::uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  Chunk chunk;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string key = make_key(shape, rng);
    add(chunk, key, std::string(rng() % 3, 'v'));
  }
  const std::vector<Entry> appended(chunk.entries().begin(), chunk.entries().end());
  const std::vector<Entry> expected = expected_order(chunk);
  chunk.sort(pool_of(threads).get());
  expect_order(chunk, expected);
  // Walked in each final order, the sorted entries come out as a stable sort puts them.
  for (const Order order :
       {Order{}, Order{.reverse = true, .unique = false},
        Order{.reverse = false, .unique = true}, Order{.reverse = true, .unique = true}}) {
    SCOPED_TRACE(std::string(order.reverse ? "reverse" : "") + (order.unique ? " unique" : ""));
    const std::vector<Entry> walked_order = expected_walk(chunk, appended, order);
    std::vector<Entry> walked;
    Walk walk(order);
    while (const Entry* const entry = walk.next(chunk)) walked.push_back(*entry);
    expect_order(chunk, walked, walked_order);
    EXPECT_EQ(walk.dropped(), n - walked_order.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RandomSortTest,
    testing::Combine(testing::Values(0, 2, 3),
                     testing::Values(Keys::kRandom10, Keys::kShortAlphabet,
                                     Keys::kLongSharedPrefix, Keys::kNested, Keys::kSkewed,
                                     Keys::kFewDistinct),
                     // Within one scratch block, and through parallel passes.
                     testing::Values(std::size_t{5000}, std::size_t{200000})),
    shape_test_name);

TEST(ChunkSortTest, KeysLaidOutAgainstTheWorkersShares) {
  // Three first bytes, 100000 items each. A pool of 3 splits each byte's range in thirds
  // and gives each worker one third of every range; here every item that one worker
  // meets belongs to the same byte, so most of them find their worker's share full.
  auto pool = *Pool::start(3);
  std::mt19937_64 rng(11);
  Chunk chunk;
  for (int i = 0; i < 300000; ++i) {
    const int third = i % 100000 / 33333;
    std::string key(1, "CAB"[std::min(third, 2)]);
    key += make_key(Keys::kRandom10, rng);
    add(chunk, key, "");
  }
  const std::vector<Entry> expected = expected_order(chunk);
  chunk.sort(pool.get());
  expect_order(chunk, expected);
}

TEST(ChunkSortTest, SortFromInsideThePoolRunsOnTheCallingWorker) {
  auto pool = *Pool::start(2);
  std::vector<Chunk> chunks(2);
  std::mt19937_64 rng(7);
  for (Chunk& chunk : chunks) {
    for (int i = 0; i < 200000; ++i) add(chunk, make_key(Keys::kRandom10, rng), "");
  }
  // Both workers sort a chunk each on the same pool at once: a worker that blocked
  // instead of helping would leave the nested passes with nobody to run them.
  const std::vector<Entry> expected[] = {expected_order(chunks[0]), expected_order(chunks[1])};
  pool->for_each(2, [&](std::size_t i) { chunks[i].sort(pool.get()); });
  expect_order(chunks[0], expected[0]);
  expect_order(chunks[1], expected[1]);
}

}  // namespace
}  // namespace lodestack::sorter
