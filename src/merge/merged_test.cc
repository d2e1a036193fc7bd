#include "merge/merged.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run/writer.h"
#include "testing/helpers.h"

namespace lodestack::merge {
namespace {

namespace fs = std::filesystem;
using namespace testing_helpers;

// What a merge of sources must yield: a stable sort of them laid end to end, in `order`.
std::vector<Item> expected_of(const std::vector<std::vector<Item>>& sources,
                              sorter::Order order = {}) {
  std::vector<Item> all;
  for (const auto& source : sources) all.insert(all.end(), source.begin(), source.end());
  return in_order(std::move(all), order);
}

class MergedTest : public TmpDirTest {
 protected:
  void SetUp() override {
    TmpDirTest::SetUp();
    Result<sorter::TempDir> made = sorter::TempDir::make(tmp_);
    ASSERT_TRUE(made.has_value()) << made.error().text();
    dir_path_ = made->path();
    dir_.emplace(std::move(*made));
  }

  // Writes `items` (in the order given) as a run file in the private directory.
  run::Run write_run(const std::vector<Item>& items) {
    const fs::path path = dir_path_ / ("run-" + std::to_string(next_++));
    Result<run::RunWriter> writer = run::RunWriter::create(path, nullptr);
    EXPECT_TRUE(writer.has_value()) << writer.error().text();
    for (const Item& item : items) {
      EXPECT_TRUE(writer->push(view(item.key), view(item.payload)).has_value());
    }
    Result<run::Run> run = std::move(*writer).finish();
    EXPECT_TRUE(run.has_value()) << run.error().text();
    return *run;
  }

  Source run_source(const run::Run& run) {
    Result<run::RunReader> reader = run::RunReader::open(run);
    EXPECT_TRUE(reader.has_value()) << reader.error().text();
    return Source::run(std::move(*reader));
  }

  static Source memory_source(const std::vector<Item>& items, sorter::Order order = {}) {
    sorter::Chunk chunk;
    for (const Item& item : items) {
      EXPECT_TRUE(chunk.make_room(item.key.size() + item.payload.size(), 1 << 30));
      chunk.append(view(item.key), view(item.payload));
    }
    chunk.sort(nullptr);
    return Source::memory(std::move(chunk), order);
  }

  // Sources over `items`: runs, written in `order` as a spill writes them, except the last
  // one, which is held in memory when `memory_last` is set (the shape of a final merge).
  std::vector<Source> sources_of(const std::vector<std::vector<Item>>& items, bool memory_last,
                                 sorter::Order order = {}) {
    std::vector<Source> sources;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (memory_last && i + 1 == items.size()) {
        sources.push_back(memory_source(items[i], order));
      } else {
        sources.push_back(run_source(write_run(in_order(items[i], order))));
      }
    }
    return sources;
  }

  Merged create(std::vector<Source> sources, sorter::Order order = {}) {
    Result<Merged> merged = Merged::create(std::move(sources), std::move(dir_), order);
    dir_.reset();
    EXPECT_TRUE(merged.has_value()) << merged.error().text();
    return std::move(*merged);
  }

  fs::path dir_path_;
  std::optional<sorter::TempDir> dir_;
  int next_ = 0;
};

// Only empty sources: the end comes at once, and stays.
TEST_F(MergedTest, NoRecordsEndAtOnceAndTakeTheDirectoryAlong) {
  Merged merged = create(sources_of({{}, {}, {}}, true));
  EXPECT_FALSE(fs::exists(dir_path_));
  EXPECT_EQ(drain(merged), std::vector<Item>{});
  EXPECT_EQ(drain(merged), std::vector<Item>{});
}

struct OrderCase {
  const char* name;
  std::vector<std::vector<Item>> sources;  // each in its own sorted order
};

void PrintTo(const OrderCase& p, std::ostream* os) { *os << p.name; }

// Orders by index: bit 0 reverse, bit 1 unique.
sorter::Order order_of(int i) { return {.reverse = (i & 1) != 0, .unique = (i & 2) != 0}; }

class MergedOrderTest
    : public MergedTest,
      public ::testing::WithParamInterface<std::tuple<OrderCase, bool, int>> {};

TEST_P(MergedOrderTest, YieldsKeyOrderWithEqualKeysInSourceOrder) {
  const auto& [order, memory_last, order_index] = GetParam();
  const sorter::Order sort_order = order_of(order_index);
  Merged merged = create(sources_of(order.sources, memory_last, sort_order), sort_order);
  EXPECT_TRUE(fs::exists(dir_path_));
  const std::vector<Item> expected = expected_of(order.sources, sort_order);
  EXPECT_EQ(drain(merged), expected);
  // What came in (runs already in order, the held half as added) less what went out.
  std::size_t given = 0;
  for (std::size_t i = 0; i < order.sources.size(); ++i) {
    const bool held = memory_last && i + 1 == order.sources.size();
    given += held ? order.sources[i].size() : in_order(order.sources[i], sort_order).size();
  }
  EXPECT_EQ(merged.stats().dropped, given - expected.size());
  EXPECT_EQ(merged.stats().max_fan_in, order.sources.size());
  // The call that found the end took the directory along; later calls find nothing.
  EXPECT_FALSE(fs::exists(dir_path_));
  Result<std::optional<Record>> again = merged.next_record();
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(again->has_value());
}

const std::string kFF = "\xff";
const std::string k80 = "\x80";
const std::string k7F = "\x7f";
const std::string k00(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Cases, MergedOrderTest,
    ::testing::Combine(
        ::testing::Values(
            OrderCase{"OneSource", {{{"a", "1"}, {"b", "2"}, {"b", "3"}, {"c", ""}}}},
            OrderCase{"EqualKeysAcrossSources",
                      {{{"k", "0a"}, {"k", "0b"}},
                       {{"a", "1"}, {"k", "1a"}},
                       {{"k", "2a"}, {"k", "2b"}},
                       {{"a", "3"}, {"k", "3a"}}}},
            OrderCase{"LaterSourceEntersTheHeapFirst",
                      {{{"z", "0"}}, {{"k", "1a"}, {"z", "1"}}, {{"k", "2a"}}, {{"a", "3"}}}},
            OrderCase{"PrefixesAndUnsignedBytes",
                      {{{"ab", "0"}, {k7F, "0"}, {kFF, "0"}},
                       {{"", "1"}, {"abc", "1"}, {k80, "1"}},
                       {{k00, "2"}, {"a", "2"}, {"abc", "2"}, {kFF + kFF, "2"}}}},
            OrderCase{"LongStretchFromOneSource",
                      {{{"a", "0"}, {"b", "0"}, {"c", "0"}, {"d", "0"}, {"y", "0"}},
                       {{"e", "1"}},
                       {{"x", "2"}, {"z", "2"}}}}),
        ::testing::Bool(), ::testing::Range(0, 4)),
    [](const auto& info) {
      const sorter::Order order = order_of(std::get<2>(info.param));
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) ? "WithMemory" : "RunsOnly") +
             (order.reverse ? "Reverse" : "") + (order.unique ? "Unique" : "");
    });

// Records big enough that a few of them span several blocks of a run.
std::vector<Item> bulky(int n, std::string_view prefix) {
  std::vector<Item> items;
  for (int i = 0; i < n; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "%s%04d", std::string(prefix).c_str(), i);
    items.push_back({key, std::string(1000, static_cast<char>('a' + i % 26))});
  }
  return items;
}

TEST_F(MergedTest, DroppedMidwayTakesTheDirectoryAlong) {
  std::optional<Merged> merged(create(sources_of({bulky(50, "a"), bulky(50, "b")}, true)));
  Result<std::optional<Record>> first = merged->next_record();
  ASSERT_TRUE(first.has_value() && first->has_value());
  EXPECT_EQ(text((*first)->key), "a0000");
  EXPECT_TRUE(fs::exists(dir_path_));
  merged.reset();
  EXPECT_FALSE(fs::exists(dir_path_));
}

}  // namespace
}  // namespace lodestack::merge
