// The merge as a sort finishes: spilled runs, merge passes, the half held in memory.
#include "merge/finish.h"
#include "testing/helpers.h"

namespace lodestack::merge {
namespace {

using namespace testing_helpers;
using sorter::Sorter;

std::vector<Item> drain(Merged& merged) {  // to the end, which then stays
  std::vector<Item> out;
  Result<std::optional<Record>> r;
  while ((r = merged.next_record()) && *r)
    out.push_back({text((*r)->key), text((*r)->payload)});
  EXPECT_TRUE(r) << r.error().text();
  EXPECT_FALSE(merged.next_record().value());
  return out;
}

class MergeTest : public TmpDirTest {
 protected:
  std::unique_ptr<Sorter> make(std::uint64_t max_bytes, std::uint64_t max_open,
                               const std::vector<Item>& items = {}, std::uint64_t threads = 1,
                               sorter::Order order = {}) {
    std::unique_ptr<Sorter> sorter =
        Sorter::create(tmp_, max_bytes, max_open, threads, order).value();
    for (const Item& i : items) EXPECT_TRUE(sorter->push(view(i.key), view(i.payload), never));
    return sorter;
  }
};

// Random items through spills, passes and the final merge, in every order: a stable sort of
// everything added, what the sort did counted, and nothing left on disk at the end.
TEST_F(MergeTest, YieldsAStableSortOfEverythingAddedInEveryOrder) {
  std::mt19937_64 rng = seeded();
  for (int trial = 0; trial < 16; ++trial) {
    const sorter::Order order = kOrders[trial % 4];
    std::vector<Item> items(rng() % 2000);
    for (std::size_t i = 0; i < items.size(); ++i) {
      std::string key(rng() % 4, '\0');
      for (char& c : key) c = "\0a\xff"[rng() % 3];
      items[i] = {key, std::to_string(i)};
    }
    const std::uint64_t max_bytes = trial < 4 ? 1 << 20 : 500 + rng() % 3000;
    std::unique_ptr<Sorter> sorter =
        make(max_bytes, 2 + rng() % 4, items, 1 + trial / 4 % 2, order);
    ASSERT_TRUE(sorter->wait());
    sorter::Stats spilled{.added = items.size(), .runs = sorter->runs().size()};
    for (const run::Run& run : sorter->runs()) {
      spilled.spilled_bytes += run.stream_len;
      spilled.compressed_bytes += fs::file_size(run.path);
    }
    Result<Merged> merged = finish(std::move(sorter), never);
    const std::vector<Item> expected = sorted(items, order);
    EXPECT_EQ(drain(merged.value()), expected) << max_bytes << " bytes, order " << trial % 4;
    const sorter::Stats s = merged->stats();
    spilled.dropped = items.size() - expected.size();
    EXPECT_EQ(std::tie(s.added, s.dropped, s.runs, s.spilled_bytes, s.compressed_bytes),
              std::tie(spilled.added, spilled.dropped, spilled.runs, spilled.spilled_bytes,
                       spilled.compressed_bytes));
    EXPECT_EQ(tree(), Tree{});
  }
}

// With max_bytes 2 every item but the last is spilled alone, its payload setting the run's
// stream length; the keys fall, so the merge must reorder everything.
TEST_F(MergeTest, PassesMergeTheCheapestAdjacentRunsUntilMaxOpenRemain) {
  const std::tuple<std::uint64_t, std::vector<std::size_t>, std::vector<int>, int> cases[] = {
      // max_open, payload sizes, the runs left in the directory, the passes
      {4, {1, 1, 1, 1, 1}, {0, 1, 2, 3}, 0},
      {4, {5, 1, 1, 5, 5, 1}, {0, 3, 4, 5}, 1},  // the smallest pair
      {4, {3, 1, 2, 1, 2, 1}, {0, 3, 4, 5}, 1},  // the leftmost of the smallest
      {4, {5, 5, 5, 1, 1, 9}, {0, 1, 2, 5}, 1},
      {2, {1, 1, 1, 1, 1, 1}, {5, 7}, 3},         // (0 1) makes 5, (2 3) 6, then (6 4) 7
      {3, {2, 1, 1, 1, 4, 30, 1}, {4, 5, 7}, 2},  // (1 2 3) makes 6, then just (0 6) makes 7
  };
  for (const auto& [max_open, payloads, runs_left, passes] : cases) {
    std::vector<Item> items;
    for (std::size_t i = 0; i < payloads.size(); ++i)
      items.push_back({{char('z' - i)}, std::string(payloads[i], '0' + i)});
    std::unique_ptr<Sorter> sorter = make(2, max_open, items);
    EXPECT_EQ(sorter->runs().at(0).stream_len, payloads[0] + 9);
    Tree left = {sorter->dir()->path().filename()};
    for (const int n : runs_left) left.insert(std::format("{}/run-{:06}", *left.begin(), n));
    Result<Merged> merged = finish(std::move(sorter), never);
    EXPECT_EQ(tree(), left);
    EXPECT_EQ(drain(merged.value()), sorted(items));
    EXPECT_EQ(merged->stats().merge_passes, passes);
    EXPECT_EQ(merged->stats().max_fan_in, max_open + 1);  // the final merge: the held item too
  }
}

// Three runs of over 32,768 records and max_open 2 make one pass, which asks `stop` at its
// start and again 65,536 records in.
TEST_F(MergeTest, StopDuringAPassFailsAndLeavesNothing) {
  for (const int stop_at : {1, 2}) {
    std::unique_ptr<Sorter> sorter = make(2 << 20, 2);
    for (std::uint32_t i = 0; sorter->runs().size() < 3; ++i) {
      const std::uint32_t key = i * 2654435761u;  // scattered, so that the runs interleave
      ASSERT_TRUE(sorter->push(view({reinterpret_cast<const char*>(&key), 4}), {}, never));
    }
    ASSERT_TRUE(sorter->wait());
    for (const run::Run& run : sorter->runs()) ASSERT_GT(run.records, kStopCheckRecords / 2);
    int calls = 0;
    expect_error(finish(std::move(sorter), [&] { return ++calls == stop_at; }), kIo,
                 kInterrupted, "operation interrupted");
    EXPECT_EQ(calls, stop_at);
    EXPECT_EQ(tree(), Tree{});
  }
}

TEST_F(MergeTest, StopWhileWaitingForTheLastSpillFailsAndLeavesNothing) {
  std::unique_ptr<Sorter> sorter = make(1 << 16, 2, {}, 2);
  PoolHold hold(sorter->pool());  // the spill cannot end until the stop check lets it go
  for (int i = 0; sorter->runs().empty(); ++i)
    ASSERT_TRUE(sorter->push(view(std::to_string(i)), {}, never));
  int calls = 0;
  const auto stop = [&] {
    hold.release();
    return ++calls > 0;
  };
  expect_error(finish(std::move(sorter), stop), kIo, kInterrupted, "operation interrupted");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(tree(), Tree{});
}

TEST_F(MergeTest, DamagedRunOrFailedSpillFailsTheSortAndLeavesNothing) {
  const std::vector<Item> items = {{"e", "1"}, {"d", "2"}, {"c", "3"}, {"b", "4"}, {"a", "5"}};
  for (const std::uint64_t max_open : {64, 2}) {  // met by the final merge, or by a pass
    std::unique_ptr<Sorter> sorter = make(2, max_open, items);
    ASSERT_TRUE(sorter->wait());
    const fs::path damaged = sorter->runs()[1].path;
    fs::resize_file(damaged, 3);  // inside the first block's header
    expect_error(finish(std::move(sorter), never), kIo, kUnexpectedEof,
                 damaged.native() + " ended before its last record");
    EXPECT_EQ(tree(), Tree{});
  }
  std::unique_ptr<Sorter> sorter = make(2, 2, {items[0], items[1]});
  ASSERT_TRUE(sorter->wait());
  const fs::path dir = sorter->dir()->path();
  fs::remove_all(dir);
  ASSERT_TRUE(sorter->push(view("c"), {}, never));  // its spill fails with no add to meet it
  expect_error(finish(std::move(sorter), never), kIo, kNotFound,
               (dir / "run-000001").native() + ": No such file or directory (os error 2)");
  EXPECT_EQ(tree(), Tree{});
}

// The merge owns the directory: it goes when a record fails midway (every later call then
// answers Lost), or when the merge is dropped before its end.
TEST_F(MergeTest, MergeFailingOrDroppedMidwayRemovesTheDirectory) {
  for (const bool damage : {true, false}) {
    std::unique_ptr<Sorter> sorter = make(1 << 20, 64);
    for (int i = 0; sorter->runs().empty(); ++i) {
      ASSERT_TRUE(
          sorter->push(view(std::format("{:06}", i)), view(std::string(1000, 'p')), never));
    }
    ASSERT_TRUE(sorter->wait());
    const fs::path path = sorter->runs()[0].path;
    if (damage) fs::resize_file(path, fs::file_size(path) / 2);
    std::optional<Merged> merged(finish(std::move(sorter), never).value());
    ASSERT_TRUE(merged->next_record().value().has_value());
    ASSERT_EQ(tree().size(), 2u);
    Result<std::optional<Record>> r;
    while (damage && (r = merged->next_record()) && *r) {
    }
    if (damage) {
      expect_error(r, kIo, kUnexpectedEof, path.native() + " ended before its last record");
      expect_error(merged->next_record(), kLost, kOther,
                   "an earlier error lost records, so sorting cannot go on");
    } else {
      merged.reset();
    }
    EXPECT_EQ(tree(), Tree{});
  }
}

}  // namespace
}  // namespace lodestack::merge
