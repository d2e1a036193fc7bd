// Helpers shared by the core's unit tests: byte views of strings, a seeded generator, the
// reference order of a sort, a scratch directory per test, and a way to hold a spill in
// flight. Header-only, so the library never links it.
#ifndef LODESTACK_TESTING_HELPERS_H_
#define LODESTACK_TESTING_HELPERS_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <format>
#include <fstream>
#include <latch>
#include <random>
#include <set>
#include <thread>

#include "error/error.h"
#include "key/bytes.h"
#include "sorter/order.h"
#include "sorter/pool.h"

namespace lodestack::testing_helpers {

namespace fs = std::filesystem;
using namespace std::literals;
using enum ErrorKind;
using enum Error::Type;
using Tree = std::set<std::string>;

inline ByteView view(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string text(ByteView b) { return std::string(b.begin(), b.end()); }
inline bool never() { return false; }

// A generator seeded afresh for each run; the seed is printed, to replay a failure.
inline std::mt19937_64 seeded() {
  const std::uint64_t seed = std::random_device{}();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  return std::mt19937_64(seed);
}

inline std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

template <typename T>
void expect_error(const Result<T>& result, Error::Type type, ErrorKind kind,
                  std::string_view text) {
  ASSERT_FALSE(result) << "succeeded instead of failing with: " << text;
  EXPECT_EQ(result.error().type(), type);
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().text(), text);
}

struct Item {
  std::string key;
  std::string payload;
  bool operator==(const Item&) const = default;
};

inline constexpr sorter::Order kOrders[] = {{}, {true, false}, {false, true}, {true, true}};

// The order of a sort: keys by unsigned bytes, a proper prefix first, descending with
// `reverse`; equal keys in the order given, and with `unique` only the first of them.
inline std::vector<Item> sorted(std::vector<Item> items, sorter::Order order = {}) {
  std::ranges::stable_sort(items, [&](const Item& a, const Item& b) {
    return std::ranges::lexicographical_compare(view(order.reverse ? b.key : a.key),
                                                view(order.reverse ? a.key : b.key));
  });
  if (order.unique)
    items.erase(std::ranges::unique(items, {}, &Item::key).begin(), items.end());
  return items;
}

// A fresh directory under /tmp for each test, removed with everything in it afterwards.
class TmpDirTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/lodestack-unit-test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    tmp_ = name;
  }
  void TearDown() override { fs::remove_all(tmp_); }
  Tree tree() const {  // every path under it, relative to it
    Tree names;
    for (const auto& e : fs::recursive_directory_iterator(tmp_))
      names.insert(fs::relative(e.path(), tmp_));
    return names;
  }
  fs::path tmp_;
};

// Holds every worker of a pool busy until released, so that a spill (which sorts on the
// pool) stays in flight meanwhile.
struct PoolHold {
  explicit PoolHold(std::shared_ptr<sorter::Pool> pool)
      : started(pool->threads()), holder([this, pool] {
          pool->for_each(pool->threads(), [this](std::size_t) {
            started.count_down();
            released.wait();
          });
        }) {
    started.wait();
  }
  ~PoolHold() {
    release();
    holder.join();
  }
  void release() {
    if (!released.try_wait()) released.count_down();
  }
  std::latch started, released{1};
  std::thread holder;
};

}  // namespace lodestack::testing_helpers

#endif  // LODESTACK_TESTING_HELPERS_H_
