#include "merge/finish.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <format>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/helpers.h"

namespace lodestack::merge {
namespace {

namespace fs = std::filesystem;
using sorter::Sorter;
using namespace testing_helpers;

class FinishTest : public TmpDirTest {
 protected:
  std::unique_ptr<Sorter> make(std::uint64_t max_bytes, std::uint64_t max_open,
                               std::uint64_t threads = 1) {
    Result<std::unique_ptr<Sorter>> made = Sorter::create(tmp_, max_bytes, max_open, threads);
    EXPECT_TRUE(made.has_value()) << made.error().text();
    return std::move(*made);
  }

  static void push_all(Sorter& sorter, const std::vector<Item>& items) {
    for (const Item& item : items) {
      ASSERT_TRUE(sorter.push(view(item.key), view(item.payload), kNever).has_value());
    }
  }

  // The files in the private directory, sorted.
  static std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

// Nothing added, or too little to fill a half: merged from memory, no directory made.
TEST_F(FinishTest, ItemsThatNeverFilledAHalfAreMergedFromMemory) {
  for (const std::vector<Item>& items :
       {std::vector<Item>{}, std::vector<Item>{{"b", "1"}, {"a", "2"}, {"b", "3"}, {"", "4"}}}) {
    std::unique_ptr<Sorter> sorter = make(1 << 20, 2);
    push_all(*sorter, items);
    Result<Merged> merged = finish(std::move(sorter), kNever);
    ASSERT_TRUE(merged.has_value()) << merged.error().text();
    EXPECT_TRUE(tmp_is_empty());
    EXPECT_EQ(drain(*merged), sorted(items));
  }
}

// With max_bytes = 2 every item but the last becomes a run of its own, so the payload
// sizes below set the runs' stream lengths, and the names left in the directory show
// which runs the passes consumed.
struct PassCase {
  const char* name;
  std::uint64_t max_open;
  std::vector<std::size_t> payload_sizes;  // one item each; the last stays in memory
  std::vector<int> runs_left;              // in the private directory after finishing
};

void PrintTo(const PassCase& p, std::ostream* os) { *os << p.name; }

class FinishPassTest : public FinishTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(FinishPassTest, MergesTheCheapestAdjacentRunsUntilMaxOpenRemain) {
  const PassCase& p = GetParam();
  std::unique_ptr<Sorter> sorter = make(2, p.max_open);
  std::vector<Item> items;
  for (std::size_t i = 0; i < p.payload_sizes.size(); ++i) {
    // Keys fall as items are added, so the merge has to reorder everything.
    items.push_back({std::string(1, static_cast<char>('z' - i)),
                     std::string(p.payload_sizes[i], static_cast<char>('0' + i))});
  }
  push_all(*sorter, items);
  ASSERT_EQ(sorter->runs().size(), items.size() - 1);
  const fs::path dir = sorter->dir()->path();

  Result<Merged> merged = finish(std::move(sorter), kNever);
  ASSERT_TRUE(merged.has_value()) << merged.error().text();
  std::vector<std::string> names;
  for (const int n : p.runs_left) names.push_back(std::format("run-{:06}", n));
  EXPECT_EQ(files_in(dir), names);
  EXPECT_EQ(drain(*merged), sorted(items));
  EXPECT_TRUE(tmp_is_empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FinishPassTest,
    ::testing::Values(
        PassCase{"ExactlyMaxOpenNeedsNoPass", 4, {1, 1, 1, 1, 1}, {0, 1, 2, 3}},
        PassCase{"OneOverMergesTheSmallestPair", 4, {5, 1, 1, 5, 5, 1}, {0, 3, 4, 5}},
        PassCase{"OneOverMergesTheLeftmostOfEqualPairs", 4, {3, 1, 2, 1, 2, 1}, {0, 3, 4, 5}},
        PassCase{"OneOverMergesTheSmallestPairAtTheEnd", 4, {5, 5, 5, 1, 1, 9}, {0, 1, 2, 5}},
        // 5 runs -> 4 -> 3 -> 2: (0 1) makes 5, then (2 3) makes 6, then (6 4) makes 7.
        PassCase{"MaxOpenTwoWithFiveRunsTakesThreePasses", 2, {1, 1, 1, 1, 1, 1}, {5, 7}},
        // 6 runs, max_open 3: a first pass of 3 runs (1 2 3) makes 6 and leaves 4, a
        // second of 2 (0 6) makes 7 and leaves exactly 3.
        PassCase{"PassesShrinkToLeaveExactlyMaxOpen", 3, {2, 1, 1, 1, 4, 30, 1}, {4, 5, 7}}),
    [](const auto& info) { return info.param.name; });

class FinishThreadsTest : public FinishTest, public ::testing::WithParamInterface<int> {};

TEST_P(FinishThreadsTest, EqualKeysComeOutInInsertionOrderAfterPasses) {
  std::unique_ptr<Sorter> sorter = make(300, 2, GetParam());
  std::vector<Item> items;
  for (int i = 0; i < 500; ++i) {
    items.push_back({i % 3 == 0 ? "j" : "k", std::to_string(i)});
  }
  push_all(*sorter, items);
  ASSERT_GT(sorter->runs().size(), 10u);
  std::uint64_t spilled = 0;
  for (const run::Run& run : sorter->runs()) spilled += run.records;
  ASSERT_LT(spilled, items.size()) << "the test wants items held in memory too";
  Result<Merged> merged = finish(std::move(sorter), kNever);
  ASSERT_TRUE(merged.has_value()) << merged.error().text();
  EXPECT_EQ(drain(*merged), sorted(items));
  EXPECT_TRUE(tmp_is_empty());
}

INSTANTIATE_TEST_SUITE_P(Threads, FinishThreadsTest, ::testing::Values(1, 2));

// Pushes items of a 4-byte scattered key and no payload until `runs` runs were spilled.
void push_until_runs(Sorter& sorter, std::size_t runs) {
  for (std::uint32_t i = 0; sorter.runs().size() < runs; ++i) {
    const std::uint32_t k = i * 2654435761u;  // scattered, so that the runs interleave
    const char key[4] = {static_cast<char>(k >> 24), static_cast<char>(k >> 16),
                         static_cast<char>(k >> 8), static_cast<char>(k)};
    ASSERT_TRUE(sorter.push(view(std::string_view(key, 4)), view(""), kNever).has_value());
  }
}

// Stopping a pass: at its start, or at the first check inside it (65,536 records in).
class FinishStopTest : public FinishTest, public ::testing::WithParamInterface<int> {};

TEST_P(FinishStopTest, StopDuringAPassFailsAndLeavesNothing) {
  const int stop_at_call = GetParam();
  std::unique_ptr<Sorter> sorter = make(2 << 20, 2);
  push_until_runs(*sorter, 4);
  ASSERT_TRUE(sorter->wait().has_value());  // so that only the passes ask `stop`
  const std::vector<run::Run>& runs = sorter->runs();
  ASSERT_GE(runs.size(), 3u);
  for (std::size_t i = 0; i + 1 < runs.size(); ++i) {
    ASSERT_GE(runs[i].records + runs[i + 1].records, kStopCheckRecords)
        << "the first pass must reach a stop check";
  }

  int calls = 0;
  Result<Merged> merged = finish(std::move(sorter), [&] { return ++calls == stop_at_call; });
  ASSERT_FALSE(merged.has_value());
  EXPECT_TRUE(merged.error().is_interrupted());
  EXPECT_EQ(calls, stop_at_call);
  EXPECT_TRUE(tmp_is_empty());
}

INSTANTIATE_TEST_SUITE_P(Calls, FinishStopTest, ::testing::Values(1, 2), [](const auto& info) {
  return info.param == 1 ? "AtThePassStart" : "WithinThePass";
});

TEST_F(FinishTest, StopWhileWaitingForTheLastSpillFailsAndLeavesNothing) {
  std::unique_ptr<Sorter> sorter = make(1 << 16, 2, 2);
  std::optional<PoolHold> hold(sorter->pool());
  for (int i = 0; sorter->runs().empty(); ++i) {
    const std::string key = std::to_string(i);
    ASSERT_TRUE(sorter->push(view(key), view("v"), kNever).has_value());
  }
  // The spill cannot finish while the pool is held. The stop check lets it go, so that
  // the failing finish can wait for it before removing the directory.
  int calls = 0;
  Result<Merged> merged = finish(std::move(sorter), [&] {
    ++calls;
    hold->release();
    return true;
  });
  ASSERT_FALSE(merged.has_value());
  EXPECT_TRUE(merged.error().is_interrupted());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(tmp_is_empty());
}

class FinishDamageTest : public FinishTest, public ::testing::WithParamInterface<int> {};

TEST_P(FinishDamageTest, DamagedRunFailsNamingItAndLeavesNothing) {
  std::unique_ptr<Sorter> sorter = make(2, GetParam());
  push_all(*sorter, {{"e", "1"}, {"d", "2"}, {"c", "3"}, {"b", "4"}, {"a", "5"}, {"z", "6"}});
  ASSERT_TRUE(sorter->wait().has_value());
  const fs::path damaged = sorter->runs()[1].path;
  fs::resize_file(damaged, 3);  // inside the first block's header

  Result<Merged> merged = finish(std::move(sorter), kNever);
  ASSERT_FALSE(merged.has_value());
  EXPECT_EQ(merged.error().kind(), ErrorKind::kUnexpectedEof);
  EXPECT_EQ(merged.error().text(), damaged.native() + " ended before its last record");
  EXPECT_TRUE(tmp_is_empty());
}

// max_open 64: the final merge meets the damage; max_open 2: the first pass does.
INSTANTIATE_TEST_SUITE_P(MaxOpen, FinishDamageTest, ::testing::Values(64, 2));

// A spill that failed in the background with no add left to meet it: finishing reports it.
TEST_F(FinishTest, FailedSpillStopsTheSortAndLeavesNothing) {
  std::unique_ptr<Sorter> sorter = make(2, 2);
  push_all(*sorter, {{"a", "1"}, {"b", "2"}});
  ASSERT_TRUE(sorter->wait().has_value());
  const fs::path dir = sorter->dir()->path();
  fs::remove_all(dir);
  push_all(*sorter, {{"c", "3"}});  // its spill has nowhere to write
  Result<Merged> merged = finish(std::move(sorter), kNever);
  ASSERT_FALSE(merged.has_value());
  EXPECT_EQ(merged.error().kind(), ErrorKind::kNotFound);
  EXPECT_EQ(merged.error().text(),
            (dir / "run-000001").native() + ": No such file or directory (os error 2)");
  EXPECT_TRUE(tmp_is_empty());
}

}  // namespace
}  // namespace lodestack::merge
