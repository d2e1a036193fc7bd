// A bounded hand-off channel from one worker thread to the one thread that waits for it.
//
// `channel(bound)` makes a connected `Sender` and `Receiver`; each end is owned by one
// thread at a time and is released by destroying it. The sender blocks while `bound`
// messages wait; the receiver waits in slices (`recv_timeout`) so that it can look for
// signals between them. One mutex guards the queue and both liveness flags, and one
// condition variable carries every wake-up in both directions.
//
// Ordering: everything the sending thread wrote before `send` is visible to the thread
// that receives that message (the mutex orders them). A message sent before the sender
// was released is always received before `Disconnected` is reported.
//
// Messages are moved, never copied. The queue's storage is reserved for `bound` messages
// when the channel is made, so `send` never allocates: a spill thread that ran out of
// memory can still report it. When the receiver goes first, the messages still queued are
// destroyed by the releasing thread after it has let go of the mutex, and a sender
// blocked on a full queue gets its message back at once.
#ifndef LODESTACK_CHANNEL_CHANNEL_H_
#define LODESTACK_CHANNEL_CHANNEL_H_

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace lodestack::channel {

template <typename T>
class Sender;
template <typename T>
class Receiver;
template <typename T>
std::pair<Sender<T>, Receiver<T>> channel(std::size_t bound);

namespace internal {

// A first-in first-out queue of at most `capacity` messages in storage allocated once.
template <typename T>
class Ring final {
 public:
  explicit Ring(std::size_t capacity) : slots_(capacity) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // REQUIRES: size() < capacity.
  void push(T message) {
    assert(size_ < slots_.size());
    slots_[(head_ + size_) % slots_.size()].emplace(std::move(message));
    ++size_;
  }

  // REQUIRES: !empty().
  T pop() {
    assert(size_ > 0);
    std::optional<T>& slot = slots_[head_];
    T message = std::move(*slot);
    slot.reset();
    head_ = (head_ + 1) % slots_.size();
    --size_;
    return message;
  }

  // Moves the storage out (it holds the queued messages), leaving a ring of capacity 0.
  std::vector<std::optional<T>> take_all() {
    head_ = 0;
    size_ = 0;
    return std::exchange(slots_, {});
  }

 private:
  std::vector<std::optional<T>> slots_;  // slots_[(head_ + i) % capacity] for i < size_
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

template <typename T>
struct Shared {
  explicit Shared(std::size_t b) : queue(b), bound(b) {}

  std::mutex mutex;
  std::condition_variable ready;
  // Guarded by `mutex`. Invariant: queue.size() <= bound; a flag once false stays false.
  Ring<T> queue;
  const std::size_t bound;
  bool sender_alive = true;
  bool receiver_alive = true;
};

}  // namespace internal

enum class RecvStatus { kMessage, kTimeout, kDisconnected };

template <typename T>
struct Received {
  RecvStatus status;
  std::optional<T> message;  // set exactly when status is kMessage
};

template <typename T>
class Sender final {
 public:
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&& other) noexcept {
    release();
    shared_ = std::move(other.shared_);
    return *this;
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() { release(); }

  // Queues `message`, waiting without a time limit while the queue is full and the
  // receiver exists. Returns nothing on success, or the message itself when the receiver
  // has been released; the caller then drops it and ends its work.
  std::optional<T> send(T message) {
    assert(shared_);
    std::unique_lock lock(shared_->mutex);
    shared_->ready.wait(lock, [&] {
      return !shared_->receiver_alive || shared_->queue.size() < shared_->bound;
    });
    if (!shared_->receiver_alive) return std::optional<T>(std::move(message));
    shared_->queue.push(std::move(message));
    lock.unlock();
    shared_->ready.notify_all();
    return std::nullopt;
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> channel<T>(std::size_t);
  explicit Sender(std::shared_ptr<internal::Shared<T>> shared) : shared_(std::move(shared)) {}

  void release() {
    if (!shared_) return;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->sender_alive = false;
    }
    shared_->ready.notify_all();
    shared_.reset();
  }

  std::shared_ptr<internal::Shared<T>> shared_;
};

template <typename T>
class Receiver final {
 public:
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    release();
    shared_ = std::move(other.shared_);
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { release(); }

  // Takes the oldest message, waiting at most `timeout` in all (measured on a monotonic
  // clock, however often the wait is woken early). Returns kDisconnected only when the
  // queue is empty and the sender has been released, and then without waiting.
  Received<T> recv_timeout(std::chrono::nanoseconds timeout) {
    assert(shared_);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock lock(shared_->mutex);
    while (shared_->queue.empty() && shared_->sender_alive) {
      if (shared_->ready.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
    if (!shared_->queue.empty()) {
      Received<T> received{RecvStatus::kMessage, shared_->queue.pop()};
      lock.unlock();
      shared_->ready.notify_all();  // a sender may be waiting for room
      return received;
    }
    return {shared_->sender_alive ? RecvStatus::kTimeout : RecvStatus::kDisconnected,
            std::nullopt};
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> channel<T>(std::size_t);
  explicit Receiver(std::shared_ptr<internal::Shared<T>> shared) : shared_(std::move(shared)) {}

  void release() {
    if (!shared_) return;
    std::vector<std::optional<T>> orphans;
    {
      std::lock_guard lock(shared_->mutex);
      shared_->receiver_alive = false;
      // No message can arrive after this, so the storage itself can leave with them.
      orphans = shared_->queue.take_all();
    }
    shared_->ready.notify_all();
    orphans.clear();  // may free megabytes: done outside the mutex
    shared_.reset();
  }

  std::shared_ptr<internal::Shared<T>> shared_;
};

// REQUIRES: bound >= 1.
template <typename T>
std::pair<Sender<T>, Receiver<T>> channel(std::size_t bound) {
  assert(bound >= 1);
  auto shared = std::make_shared<internal::Shared<T>>(bound);
  return {Sender<T>(shared), Receiver<T>(shared)};
}

}  // namespace lodestack::channel

#endif  // LODESTACK_CHANNEL_CHANNEL_H_
