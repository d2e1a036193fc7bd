// Helpers shared by the core's unit tests: byte views of strings, a scratch directory per
// test, a stable reference sort, and a way to hold a spill in flight. Header-only, so the
// library never links it. A PoolHold belongs to one test thread and owns the thread that
// occupies the pool's workers.
#ifndef LODESTACK_TESTING_HELPERS_H_
#define LODESTACK_TESTING_HELPERS_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <latch>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "error/error.h"
#include "sorter/pool.h"
#include "sorter/sorter.h"

namespace lodestack::testing_helpers {

inline ByteView view(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline std::string text(ByteView b) { return std::string(b.begin(), b.end()); }

inline const sorter::Stop kNever = [] { return false; };

struct Item {
  std::string key;
  std::string payload;
  bool operator==(const Item&) const = default;
};

// The key in hex, so that bytes that do not print still show.
inline void PrintTo(const Item& item, std::ostream* os) {
  constexpr const char* kDigits = "0123456789abcdef";
  for (const unsigned char c : item.key) *os << kDigits[c >> 4] << kDigits[c & 15];
  *os << '=' << item.payload;
}

// Key order (unsigned bytes, a prefix first), equal keys in the order given.
inline std::vector<Item> sorted(std::vector<Item> items) {
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return std::lexicographical_compare(
        a.key.begin(), a.key.end(), b.key.begin(), b.key.end(), [](char x, char y) {
          return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        });
  });
  return items;
}

// The order of a sort with `order`: `sorted`, by key descending with `reverse` (equal keys
// still in the order given), and with `unique` the first of each key alone.
inline std::vector<Item> in_order(std::vector<Item> items, sorter::Order order) {
  items = sorted(std::move(items));
  if (order.reverse) {
    // Reversing the stable ascending order reverses ties too; reverse each group back.
    std::ranges::reverse(items);
    for (auto group = items.begin(); group != items.end();) {
      const auto end = std::find_if(group, items.end(),
                                    [&](const Item& item) { return item.key != group->key; });
      std::reverse(group, end);
      group = end;
    }
  }
  if (order.unique) {
    const auto [end, last] =
        std::ranges::unique(items, [](const Item& a, const Item& b) { return a.key == b.key; });
    items.erase(end, last);
  }
  return items;
}

// Everything a merge yields, to its end; a failure fails the test and ends the list.
template <typename Merge>
std::vector<Item> drain(Merge& merged) {
  std::vector<Item> out;
  for (;;) {
    auto record = merged.next_record();
    EXPECT_TRUE(record.has_value()) << record.error().text();
    if (!record || !*record) return out;
    out.push_back({text((*record)->key), text((*record)->payload)});
  }
}

// A fresh directory under /tmp for each test, removed with everything in it afterwards.
class TmpDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/lodestack-unit-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    tmp_ = name;
  }
  void TearDown() override { std::filesystem::remove_all(tmp_); }

  bool tmp_is_empty() const { return std::filesystem::is_empty(tmp_); }

  std::filesystem::path tmp_;
};

// Holds every worker of a pool busy until released. A spill sorts a chunk of two or more
// items on the pool, so while the workers are held the spill cannot finish: a spill "in
// flight" for as long as a test needs, without sleeping.
class PoolHold final {
 public:
  explicit PoolHold(std::shared_ptr<sorter::Pool> pool)
      : pool_(std::move(pool)), started_(pool_->threads()) {
    holder_ = std::thread([this] {
      pool_->for_each(pool_->threads(), [this](std::size_t) {
        started_.count_down();
        released_.wait();
      });
    });
    started_.wait();
  }
  PoolHold(const PoolHold&) = delete;
  PoolHold& operator=(const PoolHold&) = delete;
  ~PoolHold() {
    release();
    holder_.join();
  }

  void release() {
    if (!released_.try_wait()) released_.count_down();
  }

 private:
  std::shared_ptr<sorter::Pool> pool_;
  std::latch started_;
  std::latch released_{1};
  std::thread holder_;
};

}  // namespace lodestack::testing_helpers

#endif  // LODESTACK_TESTING_HELPERS_H_
