#include "sorter/sorter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <exception>
#include <format>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "run/writer.h"

namespace lodestack::sorter {

namespace {

// Key and payload lengths are stored as u32 in a run's records.
constexpr std::uint64_t kMaxField = 4294967295;
constexpr std::uint64_t kMaxThreads = 65535;
// How long a wait for a spill goes before it asks `stop` again: the delay a Ctrl-C sees.
constexpr std::chrono::milliseconds kWaitSlice(50);

bool asked_to_stop(const Stop& stop) { return stop && stop(); }

// Sorts `chunk` and writes it, in `order`, to a new run file at `path`.
Result<run::Run> write_run(Chunk& chunk, const std::filesystem::path& path,
                           const std::shared_ptr<Pool>& pool, const Order order) {
  chunk.sort(pool.get());
  Result<run::RunWriter> writer = run::RunWriter::create(path, pool);
  if (!writer) return fail(std::move(writer.error()));
  Walk walk(order);
  while (const Entry* const entry = walk.next(chunk)) {
    Result<void> pushed = writer->push(chunk.key(*entry), chunk.payload(*entry));
    if (!pushed) return fail(std::move(pushed.error()));
  }
  return std::move(*writer).finish();
}

// What the spill thread sends back once the run is written: the chunk emptied for reuse,
// unless an oversized item left it over budget, in which case reusing it would keep that
// memory beyond max_bytes for the rest of the sort.
SpillResult spilled(Chunk& chunk, run::Run run, std::uint64_t half) {
  if (chunk.footprint() > half) {
    chunk.release();
  } else {
    chunk.clear();
  }
  return Spilled{std::move(chunk), std::move(run)};
}

// The body of a "lodestack-spill" thread. It owns its job outright and shares nothing
// with the sorter but the channel. Nothing may escape it: an exception leaving a thread
// ends the process, so everything, down to running out of memory, becomes the message.
void spill_job(Chunk chunk, const std::filesystem::path path,
               channel::Sender<SpillResult> sender, std::shared_ptr<Pool> pool,
               const std::uint64_t half, const Order order) {
  try {
    name_thread("lodestack-spill");
    std::optional<SpillResult> message;
    try {
      Result<run::Run> written = write_run(chunk, path, pool, order);
      if (written) {
        message.emplace(spilled(chunk, std::move(*written), half));
      } else {
        chunk.release();
        message.emplace(fail(std::move(written.error())));
      }
    } catch (const std::bad_alloc&) {
      chunk.release();  // first, so that the message itself can be made
      message.emplace(fail(Error::io(ErrorKind::kOutOfMemory).with_path(path)));
    } catch (const std::exception& e) {
      chunk.release();
      message.emplace(fail(Error::io(ErrorKind::kOther, e.what()).with_path(path)));
    }
    // Let go of the pool before the sorter hears of the end, so that the sorter's own
    // handle is the last one when it releases it.
    pool.reset();
    // A message handed back means the receiver is gone; dropping it is all there is to do.
    (void)sender.send(std::move(*message));
  } catch (...) {
    // Not even the error could be made. The sender goes without a message, and the
    // waiting side reports that the spill stopped.
  }
}

}  // namespace

Result<std::unique_ptr<Sorter>> Sorter::create(std::filesystem::path tmp_dir,
                                               const std::uint64_t max_bytes,
                                               const std::uint64_t max_open,
                                               const std::uint64_t threads, const Order order,
                                               const TmpDirCheck check) {
  if (max_bytes < 2) {
    return fail(Error::invalid(std::format("max_bytes must be at least 2, not {}", max_bytes)));
  }
  if (max_open < 2) {
    return fail(Error::invalid(std::format("max_open must be at least 2, not {}", max_open)));
  }
  if (threads == 0) return fail(Error::invalid("threads must be at least 1, not 0"));

  if (check == TmpDirCheck::kAtCreate) {
    struct stat status;
    if (::stat(tmp_dir.c_str(), &status) != 0) return fail(path_error(tmp_dir, errno));
    if (!S_ISDIR(status.st_mode)) {
      return fail(
          Error::io(ErrorKind::kNotADirectory, tmp_dir.native() + " is not a directory"));
    }
    // A location where no directory can be made is reported now rather than by the add
    // that fills the first half. The trial directory goes again at once.
    Result<TempDir> trial = TempDir::make(tmp_dir);
    if (!trial) return fail(std::move(trial.error()));
  }

  std::shared_ptr<Pool> pool;
  if (threads >= 2) {
    Result<std::shared_ptr<Pool>> started = Pool::start(std::min(threads, kMaxThreads));
    if (!started) return fail(std::move(started.error()));
    pool = std::move(*started);
  }
  return std::unique_ptr<Sorter>(
      new Sorter(std::move(tmp_dir), max_bytes, max_open, threads, order, std::move(pool)));
}

Sorter::Sorter(std::filesystem::path tmp_dir, const std::uint64_t max_bytes,
               const std::uint64_t max_open, const std::uint64_t threads, const Order order,
               std::shared_ptr<Pool> pool)
    : tmp_dir_(std::move(tmp_dir)),
      max_bytes_(max_bytes),
      max_open_(max_open),
      threads_(threads),
      half_(max_bytes / 2),
      order_(order),
      pool_(std::move(pool)) {}

Sorter::~Sorter() {
  // The spill thread writes into the private directory and uses the pool, so it ends
  // before either goes. Its message, if any, goes with the receiver.
  if (pending_) {
    pending_->handle.join();
    pending_.reset();
  }
  pool_.reset();
  chunk_.release();
  spare_.reset();
  dir_.reset();  // removes every run file with the directory
  runs_.clear();
}

Result<void> Sorter::push(const ByteView key, const ByteView payload, const Stop& stop) {
  const std::uint64_t need = std::uint64_t{key.size()} + payload.size();
  if (chunk_.room(need, half_).kind == Room::Kind::kFull) {
    // This item needs a spill, and a spill needs the previous one to be done. Waiting
    // first lets `stop` give up before anything changes.
    Result<void> waited = wait_or_stop(stop);
    if (!waited) return waited;
  }
  if (failed_) return fail(Error::lost());
  // Checked before anything is copied: the lengths must fit a run's u32 fields.
  if (key.size() > kMaxField || payload.size() > kMaxField) {
    return fail(Error::invalid("a key or value must be shorter than 4 GiB"));
  }
  if (!chunk_.make_room(need, half_)) {
    Result<void> waited = wait();
    if (!waited) {
      failed_ = true;
      return waited;
    }
    Result<std::filesystem::path> path = next_path();
    if (!path) {
      failed_ = true;
      return fail(std::move(path.error()));
    }
    Result<void> started = spill(std::move(*path));
    if (!started) {
      failed_ = true;
      return started;
    }
    // An empty chunk takes any item, however large.
    [[maybe_unused]] const bool fits = chunk_.make_room(need, half_);
    assert(fits);
  }
  chunk_.append(key, payload);
  ++stats_.added;
  return {};
}

Result<void> Sorter::spill(std::filesystem::path path) {
  try {
    auto [sender, receiver] = channel::channel<SpillResult>(1);
    // The record goes in before the thread starts, so that runs_ lists the spills in the
    // order they were started, which is the order their items were added. The thread's
    // own descriptor replaces it: with `unique` the run holds fewer records.
    runs_.push_back(run::Run{path, chunk_.size(), chunk_.stream_len()});
    Chunk full = std::exchange(chunk_, spare_ ? std::move(*spare_) : Chunk());
    spare_.reset();
    // If the thread cannot start, the job and the chunk in it are gone: the caller marks
    // the sorter failed.
    std::thread handle(spill_job, std::move(full), std::move(path), std::move(sender), pool_,
                       half_, order_);
    pending_.emplace(Pending{std::move(handle), std::move(receiver)});
    return {};
  } catch (const std::system_error& e) {
    return fail(Error::from_errno(e.code().value()));
  } catch (const std::bad_alloc&) {
    return fail(Error::io(ErrorKind::kOutOfMemory));
  }
}

Result<void> Sorter::wait_or_stop(const Stop& stop) {
  while (pending_) {
    channel::Received<SpillResult> got = pending_->receiver.recv_timeout(kWaitSlice);
    if (got.status == channel::RecvStatus::kTimeout) {
      // The spill stays pending: it goes on in the background, and a later wait takes
      // its result.
      if (asked_to_stop(stop)) return fail(Error::io(ErrorKind::kInterrupted));
      continue;
    }
    {
      Pending done = std::move(*pending_);
      pending_.reset();
      done.handle.join();
    }
    if (got.status == channel::RecvStatus::kDisconnected) {
      failed_ = true;
      return fail(Error::io(ErrorKind::kOther, "a spill stopped"));
    }
    SpillResult& result = *got.message;
    if (!result) {
      failed_ = true;
      return fail(std::move(result.error()));
    }
    // The spill in flight is always the last run.
    run::Run& recorded = runs_.back();
    const run::Run& written = result->run;
    stats_.dropped += recorded.records - written.records;
    ++stats_.runs;
    stats_.spilled_bytes += written.stream_len;
    stats_.compressed_bytes += written.file_len;
    recorded = std::move(result->run);
    spare_ = std::move(result->chunk);
  }
  return {};
}

Result<void> Sorter::wait() { return wait_or_stop(Stop()); }

Result<std::filesystem::path> Sorter::next_path() {
  if (!dir_) {
    Result<TempDir> made = TempDir::make(tmp_dir_);
    if (!made) return fail(std::move(made.error()));
    dir_.emplace(std::move(*made));
  }
  std::filesystem::path path = dir_->path() / std::format("run-{:06}", next_run_);
  ++next_run_;
  return path;
}

Chunk Sorter::take_chunk() { return std::exchange(chunk_, Chunk()); }

std::optional<TempDir> Sorter::take_dir() { return std::exchange(dir_, std::nullopt); }

void Sorter::release_spare() { spare_.reset(); }

}  // namespace lodestack::sorter
