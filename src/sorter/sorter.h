// The core of one sorter: the half being filled, the spill in flight, the runs on disk.
//
// Items go into `chunk`, within `half` = max_bytes / 2. When it is full the chunk is
// handed to a thread named "lodestack-spill", which sorts it, writes it as a run file in
// the private directory, in the sorter's `Order` (so a run with `unique` holds fewer
// records than the chunk had), and sends the emptied chunk and the run's descriptor back
// through a one-message channel, while the caller fills the spare half. The caller waits only
// when it fills its half before the previous spill is done, in 50 ms slices, asking `stop`
// between them.
//
// A failed spill sets `failed`: every later push answers Error::lost(), and the sorter
// cannot be read. Destroying the sorter waits for a spill in flight, then removes the
// private directory with every run in it; it may block, so the binding destroys it
// detached from the interpreter.
//
// Every method is called by one thread at a time: the holder of the Python sorter's lock.
// The spill thread touches only its own job.
#ifndef LODESTACK_SORTER_SORTER_H_
#define LODESTACK_SORTER_SORTER_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "channel/channel.h"
#include "error/error.h"
#include "key/bytes.h"
#include "run/format.h"
#include "sorter/chunk.h"
#include "sorter/dir.h"
#include "sorter/order.h"
#include "sorter/pool.h"
#include "sorter/stats.h"

namespace lodestack::sorter {

// Polled while a wait lasts; answering true gives the wait up with an Interrupted error.
using Stop = std::function<bool()>;

// What a spill thread sends back: the emptied chunk for reuse and the run as written, or
// what stopped it.
struct Spilled {
  Chunk chunk;
  run::Run run;
};
using SpillResult = Result<Spilled>;

// When `tmp_dir` is checked: at creation, so that a library caller hears of a bad directory
// before adding anything, or only when the first spill makes the private directory, as a
// sort command does that must not fail for a directory it never needs.
enum class TmpDirCheck : std::uint8_t { kAtCreate, kAtFirstSpill };

class Sorter final {
 public:
  // Checks the settings ("max_bytes must be at least 2, not 1", ...) and, with kAtCreate,
  // `tmp_dir` ("{tmp_dir}: {error}", "{tmp_dir} is not a directory"), making and removing
  // a trial directory in it; starts a pool of min(threads, 65535) workers when
  // threads >= 2.
  static Result<std::unique_ptr<Sorter>> create(std::filesystem::path tmp_dir,
                                                std::uint64_t max_bytes, std::uint64_t max_open,
                                                std::uint64_t threads, Order order = {},
                                                TmpDirCheck check = TmpDirCheck::kAtCreate);

  Sorter(const Sorter&) = delete;
  Sorter& operator=(const Sorter&) = delete;
  ~Sorter();

  // Whether an item of `need` bytes fits the current half without a spill; kFull means a
  // push may have to wait for the previous spill.
  Room room(std::uint64_t need) const { return chunk_.room(need, half_); }

  // Adds one item, spilling the full half first when needed. Errors: the awaited spill's
  // error (and `failed` is set), an Interrupted error when `stop` gave the wait up
  // (nothing changes), Error::lost() once failed, Error::invalid("a key or value must be
  // shorter than 4 GiB").
  Result<void> push(ByteView key, ByteView payload, const Stop& stop);

  // Waits for the spill in flight, if any, and takes its result: the run's descriptor
  // replaces the one recorded when the spill started, and the stats count it.
  Result<void> wait_or_stop(const Stop& stop);
  Result<void> wait();

  // The path of the next run file, making the private directory at the first call.
  Result<std::filesystem::path> next_path();

  std::uint64_t count() const { return stats_.added; }
  bool failed() const { return failed_; }
  std::uint64_t max_bytes() const { return max_bytes_; }
  std::uint64_t max_open() const { return max_open_; }
  std::uint64_t threads() const { return threads_; }
  Order order() const { return order_; }
  // The items taken and what the spills that ended did; `finish` adds the merges.
  const Stats& stats() const { return stats_; }
  std::uint64_t half() const { return half_; }
  const std::shared_ptr<Pool>& pool() const { return pool_; }
  std::vector<run::Run>& runs() { return runs_; }
  const std::optional<TempDir>& dir() const { return dir_; }

  // For finishing a sort: the held half (an empty one stays behind), the private
  // directory, and freeing the spare half.
  Chunk take_chunk();
  std::optional<TempDir> take_dir();
  void release_spare();

 private:
  struct Pending {
    std::thread handle;
    channel::Receiver<SpillResult> receiver;
  };

  Sorter(std::filesystem::path tmp_dir, std::uint64_t max_bytes, std::uint64_t max_open,
         std::uint64_t threads, Order order, std::shared_ptr<Pool> pool);
  Result<void> spill(std::filesystem::path path);

  Chunk chunk_;
  std::optional<Chunk> spare_;
  // One per spill started, in the order items were added. A spill in flight is the last,
  // described by the chunk it took until its own descriptor comes back.
  std::vector<run::Run> runs_;
  const std::filesystem::path tmp_dir_;
  const std::uint64_t max_bytes_;
  const std::uint64_t max_open_;
  const std::uint64_t threads_;
  const std::uint64_t half_;
  const Order order_;
  std::optional<TempDir> dir_;  // made at the first spill
  std::shared_ptr<Pool> pool_;  // absent when threads == 1
  std::uint64_t next_run_ = 0;
  std::optional<Pending> pending_;  // the spill in flight; at most one
  Stats stats_;
  bool failed_ = false;
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_SORTER_H_
