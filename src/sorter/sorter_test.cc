#include "sorter/sorter.h"

#include "run/reader.h"
#include "testing/helpers.h"

namespace lodestack::sorter {
namespace {

using namespace testing_helpers;

class SorterTest : public TmpDirTest {
 protected:
  void TearDown() override {
    sorter_.reset();  // waits for its spill, then removes its directory
    TmpDirTest::TearDown();
  }
  Result<void> push(const std::string& key, const std::string& payload) {
    return sorter_->push(view(key), view(payload), never);
  }
  std::unique_ptr<Sorter> sorter_;
};

TEST_F(SorterTest, RefusesBadSettingsWithTheFirstFailingCheck) {
  std::ofstream(tmp_ / "file") << "not a directory";
  const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::string, std::string>
      cases[] = {
          {0, 0, 0, "", "max_bytes must be at least 2, not 0"},
          {2, 1, 0, "", "max_open must be at least 2, not 1"},
          {2, 2, 0, "", "threads must be at least 1, not 0"},
          {2, 2, 1, "missing", ": No such file or directory (os error 2)"},
          {2, 2, 1, "file", " is not a directory"},
      };
  for (const auto& [max_bytes, max_open, threads, dir, message] : cases) {
    const auto made = Sorter::create(tmp_ / dir, max_bytes, max_open, threads);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().type(), dir.empty() ? kInvalid : kIo);
    EXPECT_EQ(made.error().text(), (dir.empty() ? "" : (tmp_ / dir).native()) + message);
  }
  EXPECT_EQ(tree(), Tree{"file"});
  // Asked to, a sorter looks at its directory only when the first spill needs it.
  sorter_ = Sorter::create(tmp_ / "missing", 2, 2, 1, {}, TmpDirCheck::kAtFirstSpill).value();
  ASSERT_TRUE(push("a", ""));
  const Result<void> spill = push("b", "");
  ASSERT_FALSE(spill);
  EXPECT_EQ(spill.error().kind(), kNotFound);
  EXPECT_TRUE(spill.error().text().starts_with(
      (tmp_ / "missing").native() + ": No such file or directory (os error 2) at path"))
      << spill.error().text();
  EXPECT_TRUE(sorter_->failed());
}

TEST_F(SorterTest, OversizedItemIsSpilledAloneAndItsMemoryReleased) {
  sorter_ = Sorter::create(tmp_, 2000, 2, 1).value();  // halves of 1000 bytes
  for (const std::string key : {"a", "b", "c"})
    ASSERT_TRUE(push(key, key == "b" ? std::string(4999, 'b') : "small"));
  ASSERT_TRUE(sorter_->wait());
  ASSERT_EQ(sorter_->runs().size(), 2u);
  EXPECT_EQ(sorter_->runs()[1].stream_len, 4999 + 1 + 8);
  // The next spill swaps in the half that held the big item: kept with its capacity, the
  // sorter would hold five times its budget from now on.
  ASSERT_TRUE(push("d", std::string(899, 'd')));
  EXPECT_EQ(sorter_->runs().size(), 3u);
  EXPECT_LE(sorter_->take_chunk().footprint(), sorter_->half());
}

TEST_F(SorterTest, ItemOf4GiBIsRefusedAndTheSorterGoesOn) {
  sorter_ = Sorter::create(tmp_, 1 << 20, 2, 1).value();
  const std::string_view huge("", std::size_t{1} << 32);  // refused before anything is read
  for (const bool key : {true, false}) {
    expect_error(sorter_->push(view(key ? huge : "k"), view(key ? "v" : huge), never), kInvalid,
                 kOther, "a key or value must be shorter than 4 GiB");
    ASSERT_TRUE(push("k", "v"));
  }
  EXPECT_TRUE(!sorter_->failed() && sorter_->count() == 2 && sorter_->take_chunk().size() == 2);
  EXPECT_EQ(tree(), Tree{});
}

TEST_F(SorterTest, FailedSpillIsReportedByTheNextWaitThenEveryPushIsRefused) {
  sorter_ = Sorter::create(tmp_, 2, 2, 1).value();
  ASSERT_TRUE(push("a", "1") && push("b", "2") && sorter_->wait());  // "a" spilled
  const fs::path dir = sorter_->dir()->path();
  fs::remove_all(dir);
  ASSERT_TRUE(push("c", "3"));  // starts a spill that has nowhere to go
  expect_error(push("d", "4"), kIo, kNotFound,
               (dir / "run-000001").native() + ": No such file or directory (os error 2)");
  for (int i = 0; i < 2; ++i) {
    expect_error(push("e", "5"), kLost, kOther,
                 "an earlier error lost records, so sorting cannot go on");
  }
  EXPECT_TRUE(sorter_->failed() && sorter_->count() == 3);
}

TEST_F(SorterTest, DestructionWaitsForTheSpillInFlightThenLeavesNothing) {
  sorter_ = Sorter::create(tmp_, 1 << 16, 2, 2).value();
  PoolHold hold(sorter_->pool());
  for (int i = 0; !sorter_->dir(); ++i)
    ASSERT_TRUE(push(std::to_string(i), "v"));  // a spill starts
  const fs::path dir = sorter_->dir()->path();
  std::atomic<bool> destroyed = false;
  std::thread destroyer([&] {
    sorter_.reset();
    destroyed = true;
  });
  // The spill cannot end while the pool is held. A destructor that did not wait for it
  // would show within microseconds: watching can only miss that, never fail a correct one.
  for (const auto until = std::chrono::steady_clock::now() + 100ms;
       std::chrono::steady_clock::now() < until;) {
    ASSERT_TRUE(!destroyed && fs::exists(dir)) << "gone before the spill had ended";
  }
  hold.release();
  destroyer.join();
  EXPECT_EQ(tree(), Tree{});
}

}  // namespace
}  // namespace lodestack::sorter
