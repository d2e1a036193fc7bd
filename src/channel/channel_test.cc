#include "channel/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace lodestack::channel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Bounds for waits that must end early: far below the timeout the wait was given, far
// above anything a loaded machine needs to deliver a wake-up.
constexpr auto kLongWait = 20s;
constexpr auto kEarly = 10s;

// Counts the live messages destroyed, and on which threads. A moved-from message is not
// live, so a count above the number sent means a message was destroyed twice.
struct Census {
  std::mutex mutex;
  std::vector<std::thread::id> destroyers;
  int destroyed() {
    std::lock_guard lock(mutex);
    return static_cast<int>(destroyers.size());
  }
};

class Tracked final {
 public:
  Tracked(int value, std::shared_ptr<Census> census) : value_(value), census_(census) {}
  Tracked(Tracked&& other) noexcept : value_(other.value_), census_(std::move(other.census_)) {}
  Tracked& operator=(Tracked&&) = delete;
  ~Tracked() {
    if (!census_) return;
    std::lock_guard lock(census_->mutex);
    census_->destroyers.push_back(std::this_thread::get_id());
  }
  int value() const { return value_; }

 private:
  int value_;
  std::shared_ptr<Census> census_;  // empty once moved from
};

TEST(ChannelTest, RecvOnEmptyQueueTimesOutAfterItsSlice) {
  auto [sender, receiver] = channel<int>(1);
  const auto start = Clock::now();
  const Received<int> got = receiver.recv_timeout(50ms);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(got.status, RecvStatus::kTimeout);
  EXPECT_FALSE(got.message.has_value());
  EXPECT_GE(elapsed, 50ms);
  EXPECT_LT(elapsed, kEarly);
}

// A send, or the sender's release, during a long wait ends that wait at once.
class ChannelWakeTest : public ::testing::TestWithParam<bool> {};

TEST_P(ChannelWakeTest, EventDuringAWaitEndsItEarly) {
  const bool send = GetParam();
  auto [sender, receiver] = channel<int>(1);
  std::thread worker([&sender, send] {
    // Meant to land while the receiver waits; if it lands before, the receive still sees it.
    std::this_thread::sleep_for(10ms);
    if (send) {
      EXPECT_FALSE(sender.send(7).has_value());
    } else {
      Sender<int> gone = std::move(sender);
    }
  });
  const auto start = Clock::now();
  const Received<int> got = receiver.recv_timeout(kLongWait);
  const auto elapsed = Clock::now() - start;
  worker.join();
  EXPECT_LT(elapsed, kEarly);
  EXPECT_EQ(got.status, send ? RecvStatus::kMessage : RecvStatus::kDisconnected);
  EXPECT_EQ(got.message, send ? std::optional<int>(7) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Events, ChannelWakeTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Send" : "ReleaseSender"; });

TEST(ChannelTest, MessageSentBeforeReleaseComesBeforeDisconnected) {
  auto [sender, receiver] = channel<int>(1);
  ASSERT_FALSE(sender.send(41).has_value());
  { Sender<int> gone = std::move(sender); }
  EXPECT_EQ(receiver.recv_timeout(50ms).message, 41);
  const auto start = Clock::now();
  const Received<int> second = receiver.recv_timeout(kLongWait);
  EXPECT_LT(Clock::now() - start, kEarly);  // no wait once the sender is gone
  EXPECT_EQ(second.status, RecvStatus::kDisconnected);
}

TEST(ChannelTest, FullQueueHoldsTheSenderBackUntilAReceive) {
  auto [sender, receiver] = channel<int>(2);
  ASSERT_FALSE(sender.send(1).has_value());
  ASSERT_FALSE(sender.send(2).has_value());
  std::atomic<bool> third_sent = false;
  std::thread worker([&] {
    EXPECT_FALSE(sender.send(3).has_value());
    third_sent = true;
  });
  // A send that ignored the bound would finish within microseconds; watch for it for a
  // while. This never passes a faulty channel by waiting too little: it can only miss.
  const auto until = Clock::now() + 200ms;
  while (Clock::now() < until) {
    ASSERT_FALSE(third_sent.load()) << "a third send went through a queue bound to 2";
    std::this_thread::yield();
  }
  EXPECT_EQ(receiver.recv_timeout(50ms).message, 1);
  worker.join();  // returns only if taking one message let the third send through
  EXPECT_TRUE(third_sent.load());
  EXPECT_EQ(receiver.recv_timeout(50ms).message, 2);
  EXPECT_EQ(receiver.recv_timeout(50ms).message, 3);
  EXPECT_EQ(receiver.recv_timeout(1ms).status, RecvStatus::kTimeout);
}

TEST(ChannelTest, ReleasingTheReceiverHandsABlockedSendItsMessageBack) {
  auto census = std::make_shared<Census>();
  auto [sender, receiver] = channel<Tracked>(2);
  ASSERT_FALSE(sender.send(Tracked(1, census)).has_value());
  ASSERT_FALSE(sender.send(Tracked(2, census)).has_value());
  std::optional<Tracked> returned;
  std::thread worker([&] {
    if (std::optional<Tracked> back = sender.send(Tracked(3, census))) {
      returned.emplace(std::move(*back));
    }
  });
  const std::thread::id releaser = std::this_thread::get_id();
  { Receiver<Tracked> gone = std::move(receiver); }
  // The two queued messages went with the receiver, on the releasing thread.
  worker.join();
  EXPECT_EQ(census->destroyers, (std::vector<std::thread::id>{releaser, releaser}));
  ASSERT_TRUE(returned.has_value());
  EXPECT_EQ(returned->value(), 3);
  returned.reset();
  EXPECT_EQ(census->destroyed(), 3);
}

// A message received and one still queued when the sender goes first are each destroyed
// exactly once (the receiver-first order is the case above).
TEST(ChannelTest, EachMessageIsDestroyedExactlyOnce) {
  auto census = std::make_shared<Census>();
  {
    auto [sender, receiver] = channel<Tracked>(2);
    ASSERT_FALSE(sender.send(Tracked(1, census)).has_value());
    ASSERT_FALSE(sender.send(Tracked(2, census)).has_value());
    EXPECT_EQ(census->destroyed(), 0);  // moving a message in destroys nothing live
    EXPECT_EQ(receiver.recv_timeout(50ms).message->value(), 1);
    EXPECT_EQ(census->destroyed(), 1);
    { Sender<Tracked> gone = std::move(sender); }
    EXPECT_EQ(census->destroyed(), 1);  // still queued
  }
  EXPECT_EQ(census->destroyed(), 2);
}

TEST(ChannelTest, QueueKeepsOrderWhileItWrapsAround) {
  constexpr int kMessages = 20000;
  auto [sender, receiver] = channel<std::unique_ptr<int>>(2);
  std::thread worker([&sender] {
    for (int i = 0; i < kMessages; ++i) {
      if (sender.send(std::make_unique<int>(i)).has_value()) break;
    }
    Sender<std::unique_ptr<int>> gone = std::move(sender);
  });
  int expected = 0;
  for (;;) {
    Received<std::unique_ptr<int>> got = receiver.recv_timeout(50ms);
    if (got.status == RecvStatus::kTimeout) continue;
    if (got.status == RecvStatus::kDisconnected) break;
    ASSERT_EQ(**got.message, expected);
    ++expected;
  }
  worker.join();
  EXPECT_EQ(expected, kMessages);
}

}  // namespace
}  // namespace lodestack::channel
