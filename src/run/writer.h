// Writes records, pushed in run order, as one run file.
//
// The writer cuts the record stream into kBlockSize blocks held in B slots (1 without a
// pool; min(2 * threads, 16) with one). When every slot is full the batch is compressed,
// on the pool when there is one, and written in slot order through a 1 MiB buffer.
// `finish` writes the rest, closes the file and returns the run's descriptor.
//
// A writer is used by one thread. Errors read "{path}: {underlying}" and keep the
// underlying kind; after one the writer must not be used again. A writer dropped without
// `finish` closes its file and leaves it for the directory's owner to remove.
#ifndef LODESTACK_RUN_WRITER_H_
#define LODESTACK_RUN_WRITER_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "error/error.h"
#include "key/bytes.h"
#include "run/format.h"
#include "sorter/pool.h"

namespace lodestack::run {

class RunWriter final {
 public:
  // Creates `path` exclusively, write-only, mode 0600, close-on-exec.
  static Result<RunWriter> create(std::filesystem::path path,
                                  std::shared_ptr<sorter::Pool> pool);

  RunWriter(RunWriter&&) noexcept;
  RunWriter& operator=(RunWriter&&) noexcept;
  RunWriter(const RunWriter&) = delete;
  RunWriter& operator=(const RunWriter&) = delete;
  ~RunWriter();

  // REQUIRES: both lengths below 2^32; records pushed in run order.
  Result<void> push(ByteView key, ByteView payload);

  // Writes what is left, flushes and closes the file.
  Result<Run> finish() &&;

  std::uint64_t records() const;
  // The number of block slots (B).
  std::size_t slots() const;

 private:
  struct State;
  explicit RunWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace lodestack::run

#endif  // LODESTACK_RUN_WRITER_H_
