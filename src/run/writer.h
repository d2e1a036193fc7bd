// Writes records, pushed in run order, as one run file.
//
// The writer cuts the record stream into kBlockSize blocks held in B slots. Without a
// pool B is 1, and each block is compressed and written as it fills. With one, B is
// min(2 * threads, 16), in two sets: while the pool compresses one set, the writer fills
// the other, and a set is written (each block with one write call, in order) just before
// it is filled again. Each slot holds a block before and after compression, about
// 269 KiB. `finish` writes the rest, closes the file and returns the run's descriptor.
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
