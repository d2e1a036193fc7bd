#include "sorter/sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "run/reader.h"
#include "testing/helpers.h"

namespace lodestack::sorter {
namespace {

namespace fs = std::filesystem;
using namespace testing_helpers;

// Every path under `root`, relative to it, sorted.
std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    names.push_back(fs::relative(entry.path(), root).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The records of a run file, as "key=payload".
std::vector<std::string> records_of(const run::Run& run) {
  Result<run::RunReader> reader = run::RunReader::open(run);
  EXPECT_TRUE(reader.has_value()) << reader.error().text();
  std::vector<std::string> records;
  Bytes key;
  Bytes payload;
  for (std::uint64_t i = 0; i < run.records; ++i) {
    EXPECT_TRUE(reader->read_field(key).has_value());
    EXPECT_TRUE(reader->read_field(payload).has_value());
    records.push_back(text(key) + "=" + text(payload));
  }
  return records;
}

// "lodestack-" and 6 letters or digits.
bool is_private_dir_name(std::string_view name) {
  constexpr std::string_view kPrefix = "lodestack-";
  if (name.size() != kPrefix.size() + 6 || !name.starts_with(kPrefix)) return false;
  return std::all_of(name.begin() + kPrefix.size(), name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

class SorterTest : public TmpDirTest {
 protected:
  std::unique_ptr<Sorter> make(std::uint64_t max_bytes, std::uint64_t threads = 1,
                               std::uint64_t max_open = 64) {
    Result<std::unique_ptr<Sorter>> made = Sorter::create(tmp_, max_bytes, max_open, threads);
    EXPECT_TRUE(made.has_value()) << made.error().text();
    return std::move(*made);
  }

};

struct BadSettings {
  const char* name;
  std::uint64_t max_bytes, max_open, threads;
  const char* message;
};

void PrintTo(const BadSettings& p, std::ostream* os) { *os << p.name; }

class SorterSettingsTest : public SorterTest,
                           public ::testing::WithParamInterface<BadSettings> {};

TEST_P(SorterSettingsTest, RefusesWithTheFirstFailingCheck) {
  const BadSettings& p = GetParam();
  Result<std::unique_ptr<Sorter>> made =
      Sorter::create(tmp_, p.max_bytes, p.max_open, p.threads);
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().type(), Error::Type::kInvalid);
  EXPECT_EQ(made.error().text(), p.message);
  EXPECT_EQ(tree(tmp_), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SorterSettingsTest,
    ::testing::Values(
        BadSettings{"Threads", 2, 2, 0, "threads must be at least 1, not 0"},
        BadSettings{"MaxBytesBeforeTheRest", 0, 0, 0, "max_bytes must be at least 2, not 0"},
        BadSettings{"MaxOpenBeforeThreads", 2, 1, 0, "max_open must be at least 2, not 1"}),
    [](const auto& info) { return info.param.name; });

// No directory until the first spill; then every item but the last is spilled alone.
TEST_F(SorterTest, EveryItemIsSpilledAloneWithTheSmallestBudget) {
  std::unique_ptr<Sorter> sorter = make(2);
  EXPECT_EQ(sorter->half(), 1u);
  EXPECT_EQ(sorter->pool(), nullptr);
  const std::vector<std::string> keys = {"d", "", "b", "ccc", "a"};
  for (const std::string& key : keys) {
    ASSERT_TRUE(sorter->push(view(key), view("p" + key), kNever).has_value());
    if (key == "d") {
      EXPECT_EQ(tree(tmp_), std::vector<std::string>{});  // nothing spilled yet
    }
  }
  ASSERT_TRUE(sorter->wait().has_value());
  EXPECT_EQ(sorter->count(), 5u);

  // One run each, named in spill order, in one private directory directly in tmp_dir.
  ASSERT_TRUE(sorter->dir().has_value());
  const fs::path dir = sorter->dir()->path();
  EXPECT_EQ(dir.parent_path(), tmp_);
  EXPECT_TRUE(is_private_dir_name(dir.filename().string())) << dir;
  const std::string name = dir.filename().string();
  EXPECT_EQ(tree(tmp_),
            (std::vector<std::string>{name, name + "/run-000000", name + "/run-000001",
                                      name + "/run-000002", name + "/run-000003"}));
  const std::vector<run::Run>& runs = sorter->runs();
  ASSERT_EQ(runs.size(), 4u);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(runs[i].path, dir / ("run-00000" + std::to_string(i)));
    EXPECT_EQ(runs[i].records, 1u);
    EXPECT_EQ(runs[i].stream_len, 2 * keys[i].size() + 1 + 8);
    EXPECT_EQ(records_of(runs[i]), std::vector<std::string>{keys[i] + "=p" + keys[i]});
  }
  Chunk held = sorter->take_chunk();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(text(held.key(held.entries()[0])), "a");
}

TEST_F(SorterTest, RunNamesArePaddedToAtLeastSixDigits) {
  std::unique_ptr<Sorter> sorter = make(2);
  std::vector<std::string> names;
  for (int i = 0; i <= 1000000; ++i) {
    Result<fs::path> path = sorter->next_path();
    ASSERT_TRUE(path.has_value());
    if (i <= 1 || i >= 999999) names.push_back(path->filename().string());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"run-000000", "run-000001", "run-999999",
                                             "run-1000000"}));
  EXPECT_EQ(tree(tmp_).size(), 1u);  // one directory, made once, and no files
}

TEST_F(SorterTest, OversizedItemIsSpilledAloneAndItsMemoryReleased) {
  std::unique_ptr<Sorter> sorter = make(2000);  // a half of 1000 bytes
  const std::string big(4999, 'B');
  const std::string small(9, 's');
  ASSERT_TRUE(sorter->push(view("a"), view(small), kNever).has_value());
  ASSERT_TRUE(sorter->push(view("b"), view(big), kNever).has_value());  // into an empty half
  ASSERT_TRUE(sorter->push(view("c"), view(small), kNever).has_value());
  ASSERT_TRUE(sorter->wait().has_value());
  ASSERT_EQ(sorter->runs().size(), 2u);
  EXPECT_EQ(records_of(sorter->runs()[0]), std::vector<std::string>{"a=" + small});
  EXPECT_EQ(records_of(sorter->runs()[1]), std::vector<std::string>{"b=" + big});
  // The next spill swaps in the half that held the big item. Had it been kept with its
  // capacity, the sorter would hold five times its budget from now on.
  ASSERT_TRUE(sorter->push(view("d"), view(std::string(899, 'd')), kNever).has_value());
  EXPECT_EQ(sorter->runs().size(), 3u);
  const Chunk held = sorter->take_chunk();
  EXPECT_EQ(held.size(), 1u);
  EXPECT_LE(held.footprint(), sorter->half());
}

// A length beyond what a run's u32 fields hold is refused before anything is copied: the
// views below cover far more than their buffer, and reading past it would be caught.
class SorterHugeItemTest : public SorterTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SorterHugeItemTest, ItemOf4GiBIsRefusedAndTheSorterGoesOn) {
  const bool huge_key = GetParam();
  std::unique_ptr<Sorter> sorter = make(1 << 20);
  ASSERT_TRUE(sorter->push(view("k"), view("v"), kNever).has_value());
  static const std::uint8_t tiny[1] = {0};
  const ByteView huge(tiny, std::size_t{4294967296});
  const Result<void> pushed =
      huge_key ? sorter->push(huge, view("v"), kNever) : sorter->push(view("k"), huge, kNever);
  ASSERT_FALSE(pushed.has_value());
  EXPECT_EQ(pushed.error().type(), Error::Type::kInvalid);
  EXPECT_EQ(pushed.error().text(), "a key or value must be shorter than 4 GiB");
  EXPECT_EQ(sorter->count(), 1u);
  EXPECT_FALSE(sorter->failed());
  ASSERT_TRUE(sorter->push(view("k2"), view("v2"), kNever).has_value());
  EXPECT_EQ(sorter->count(), 2u);
  EXPECT_EQ(sorter->take_chunk().size(), 2u);
  EXPECT_EQ(tree(tmp_), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Fields, SorterHugeItemTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Key" : "Payload"; });

TEST_F(SorterTest, FailedSpillIsReportedByTheNextWaitThenEveryPushIsRefused) {
  std::unique_ptr<Sorter> sorter = make(2);
  ASSERT_TRUE(sorter->push(view("a"), view("1"), kNever).has_value());
  ASSERT_TRUE(sorter->push(view("b"), view("2"), kNever).has_value());  // spills "a"
  ASSERT_TRUE(sorter->wait().has_value());
  const fs::path dir = sorter->dir()->path();
  fs::remove_all(dir);  // the next run file has nowhere to go

  // The add that starts the doomed spill succeeds; the failure surfaces at the next wait.
  ASSERT_TRUE(sorter->push(view("c"), view("3"), kNever).has_value());
  const Result<void> waited = sorter->push(view("d"), view("4"), kNever);
  ASSERT_FALSE(waited.has_value());
  EXPECT_EQ(waited.error().type(), Error::Type::kIo);
  EXPECT_EQ(waited.error().kind(), ErrorKind::kNotFound);
  EXPECT_EQ(waited.error().text(),
            (dir / "run-000001").native() + ": No such file or directory (os error 2)");
  EXPECT_TRUE(sorter->failed());
  EXPECT_EQ(sorter->count(), 3u);

  for (int i = 0; i < 2; ++i) {
    const Result<void> refused = sorter->push(view("e"), view("5"), kNever);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().type(), Error::Type::kLost);
    EXPECT_EQ(refused.error().text(), "an earlier error lost records, so sorting cannot go on");
  }
  EXPECT_EQ(sorter->count(), 3u);
}

TEST_F(SorterTest, DestructionWaitsForTheSpillInFlightThenLeavesNothing) {
  std::unique_ptr<Sorter> sorter = make(1 << 16, 2);
  PoolHold hold(sorter->pool());
  for (int i = 0; !sorter->dir().has_value(); ++i) {  // until the first spill starts
    ASSERT_TRUE(sorter->push(view(std::to_string(i)), view("v"), kNever).has_value());
  }
  ASSERT_EQ(tree(tmp_).size(), 1u);  // the directory; the spill cannot write yet

  const fs::path dir = sorter->dir()->path();
  std::atomic<bool> destroyed = false;
  std::thread destroyer([&] {
    sorter.reset();
    destroyed = true;
  });
  // The destructor must wait for the spill, which cannot end while the pool is held, and
  // keep the directory the spill writes into until then. A destructor that did not wait
  // would show within microseconds; watching for a while can only miss it, never fail a
  // correct one.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_FALSE(destroyed.load());
    ASSERT_TRUE(fs::exists(dir)) << "the directory went before the spill had ended";
    std::this_thread::yield();
  }
  hold.release();
  destroyer.join();
  EXPECT_TRUE(destroyed.load());
  EXPECT_EQ(tree(tmp_), std::vector<std::string>{});
}

}  // namespace
}  // namespace lodestack::sorter
