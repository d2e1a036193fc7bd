#include "lines/write.h"

#include <chrono>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "channel/channel.h"
#include "sorter/pool.h"

namespace lodestack::lines {
namespace {

constexpr std::size_t kChunkBytes = 1 << 20;
constexpr std::chrono::milliseconds kSlice(50);

using Message = std::variant<Bytes, Error>;

// The merging thread's body; it owns the merge and never calls `stop`. The merge is
// dropped (removing the private directory) before the sender is released, so the writer
// sees the end only once the spilled files are gone.
void merge_lines(merge::Merged merged, Stored stored, std::uint8_t end,
                 channel::Sender<Message> sender) {
  sorter::name_thread("lodestack-merge");
  try {
    for (bool more = true; more;) {
      Bytes chunk;
      chunk.reserve(kChunkBytes + 4096);
      Message message;
      for (;;) {
        Result<std::optional<merge::Record>> record = merged.next_record();
        if (!record) {
          message = std::move(record.error());
          more = false;
          break;
        }
        if (!*record) {
          message = std::move(chunk);
          more = false;
          break;
        }
        ByteView const line = line_of(stored, (*record)->key, (*record)->payload);
        chunk.insert(chunk.end(), line.begin(), line.end());
        chunk.push_back(end);
        if (chunk.size() >= kChunkBytes) {
          message = std::move(chunk);
          break;
        }
      }
      if (sender.send(std::move(message))) break;  // the writer has gone
    }
  } catch (const std::bad_alloc&) {
    (void)sender.send(Error::io(ErrorKind::kOutOfMemory));
  } catch (const std::exception& e) {
    (void)sender.send(Error::io(ErrorKind::kOther, e.what()));
  }
  { merge::Merged dropped = std::move(merged); }
  { channel::Sender<Message> released = std::move(sender); }
}

}  // namespace

Outcome write_sorted(merge::Merged merged, Stored stored, std::uint8_t end, int fd,
                     const sorter::Stop& stop, std::atomic<std::uint64_t>& written) {
  auto [sender, receiver] = channel::channel<Message>(2);
  std::thread thread;
  try {
    thread = std::thread(merge_lines, std::move(merged), stored, end, std::move(sender));
  } catch (const std::system_error& e) {
    return fail_at(Failure::Side::kSort, Error::from_errno(e.code().value()));
  }
  Outcome outcome;
  for (;;) {
    channel::Received<Message> received = receiver.recv_timeout(kSlice);
    if (received.status == channel::RecvStatus::kDisconnected) break;
    if (received.status == channel::RecvStatus::kTimeout) {
      if (stop && stop()) {
        outcome = fail_at(Failure::Side::kOutput, Error::io(ErrorKind::kInterrupted));
        break;
      }
      continue;
    }
    if (Error* error = std::get_if<Error>(&*received.message)) {
      outcome = fail_at(Failure::Side::kSort, std::move(*error));
      break;
    }
    const Bytes& chunk = std::get<Bytes>(*received.message);
    Result<void> wrote = write_all(fd, chunk, stop);
    if (!wrote) {
      outcome = fail_at(Failure::Side::kOutput, std::move(wrote.error()));
      break;
    }
    written.fetch_add(chunk.size(), std::memory_order_relaxed);
  }
  // Releasing the receiver stops the merging thread at its next send.
  { channel::Receiver<Message> released = std::move(receiver); }
  thread.join();
  return outcome;
}

}  // namespace lodestack::lines
