#include "channel/channel.h"

#include "testing/helpers.h"

namespace lodestack::channel {
namespace {

using namespace std::literals;

// Receives wait an hour at most: a wake-up that never comes hangs the test.
TEST(ChannelTest, MessagesArriveInOrderBeforeTheDisconnection) {
  auto [sender, receiver] = channel<std::unique_ptr<int>>(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.recv_timeout(20ms).status, RecvStatus::kTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
  std::thread worker([&sender] {
    for (int i = 0; i <= 20000; ++i) ASSERT_FALSE(sender.send(std::make_unique<int>(i)));
    Sender<std::unique_ptr<int>> gone = std::move(sender);
  });
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(*receiver.recv_timeout(1h).message.value(), i);
  worker.join();  // with the last message still queued
  EXPECT_EQ(*receiver.recv_timeout(1h).message.value(), 20000);
  EXPECT_EQ(receiver.recv_timeout(1h).status, RecvStatus::kDisconnected);
  auto [idle, waiting] = channel<int>(1);
  std::thread releaser([&idle] { Sender<int> gone = std::move(idle); });  // at any time
  EXPECT_EQ(waiting.recv_timeout(1h).status, RecvStatus::kDisconnected);
  releaser.join();
}

TEST(ChannelTest, FullQueueHoldsTheSenderUntilTheReceiverGoes) {
  auto [sender, receiver] = channel<std::shared_ptr<int>>(2);
  const auto message = std::make_shared<int>(7);
  ASSERT_FALSE(sender.send(message) || sender.send(message));
  std::atomic<bool> returned = false;
  std::thread worker([&] {
    EXPECT_EQ(sender.send(message), message);
    returned = true;
  });
  // A send past the bound would return within microseconds; watching for it can only
  // miss it, never fail a correct channel.
  for (const auto until = std::chrono::steady_clock::now() + 100ms;
       std::chrono::steady_clock::now() < until;) {
    ASSERT_FALSE(returned);
  }
  { Receiver<std::shared_ptr<int>> gone = std::move(receiver); }
  worker.join();
  EXPECT_EQ(message.use_count(), 1) << "the queued messages go with the receiver";
}

}  // namespace
}  // namespace lodestack::channel
