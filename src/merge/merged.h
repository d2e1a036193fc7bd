// The k-way merge of sorted sources: spilled runs and at most one sorted chunk in memory.
//
// `Merged` yields records in the sort's `Order`: key order (key bytes unsigned, a proper
// prefix first) or its reverse, and records with equal keys in source order, which the
// caller makes insertion order: runs in the order their items were added, the held chunk
// last. Every source must already be in that order. With `unique`, a record whose key
// equals the one handed out before it is dropped, so of equal keys only the first added
// comes out. It serves both the final
// merge, which owns the sorter's private directory and removes it on the call that finds
// no record left (or when it fails, or is dropped), and the intermediate passes that
// write a new run.
//
// After a record the next one of the same source is compared with the heap's top only,
// so long stretches from one source cost one comparison per record. A `Merged` is used by
// one thread at a time, carries no lock, and may be moved to another thread.
#ifndef LODESTACK_MERGE_MERGED_H_
#define LODESTACK_MERGE_MERGED_H_

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "error/error.h"
#include "key/bytes.h"
#include "run/reader.h"
#include "sorter/chunk.h"
#include "sorter/dir.h"
#include "sorter/order.h"
#include "sorter/stats.h"

namespace lodestack::merge {

// One sorted input of a merge.
class Source final {
 public:
  static Source run(run::RunReader reader);
  // Hands out the chunk's entries in `order`. REQUIRES: `chunk` is sorted.
  static Source memory(sorter::Chunk chunk, sorter::Order order = {});

  // Replaces the contents of `key` and `payload` with the next record (capacity kept).
  // Returns false when the source is exhausted. A run source's errors name its file:
  // "{path} is corrupt: {why}", "{path} ended before its last record", "{path}: {why}".
  Result<bool> read_into(Bytes& key, Bytes& payload);

  // Duplicates a memory source left out so far; a run has none left to drop.
  std::uint64_t dropped() const;

 private:
  struct Memory {
    sorter::Chunk chunk;
    sorter::Walk walk;
  };
  explicit Source(std::variant<run::RunReader, Memory> v) : v_(std::move(v)) {}
  std::variant<run::RunReader, Memory> v_;
};

// A record handed out by `Merged::next_record`: views into the merge's own buffers, valid
// until the next call on the same `Merged` or until it is dropped.
struct Record {
  ByteView key;
  ByteView payload;
};

class Merged final {
 public:
  // Reads the first record of every source. On failure everything is dropped, `dir`
  // included (which removes the directory). When every source is empty the directory is
  // removed at once. `stats` are what the sort did before this merge.
  static Result<Merged> create(std::vector<Source> sources, std::optional<sorter::TempDir> dir,
                               sorter::Order order = {}, sorter::Stats stats = {});

  Merged(Merged&&) noexcept;
  Merged& operator=(Merged&&) noexcept;
  Merged(const Merged&) = delete;
  Merged& operator=(const Merged&) = delete;
  ~Merged();

  // The next record, or nothing at the end (and on every call after it), or an error.
  // After an error every call returns Error::lost(); the sources and the directory are
  // gone already.
  Result<std::optional<Record>> next_record();

  // The stats given at creation, with this merge's fan-in (its number of sources) and the
  // duplicates it has dropped so far: complete once next_record has found no record left.
  sorter::Stats stats() const;

 private:
  struct State;
  explicit Merged(std::unique_ptr<State> state);
  // Makes the next record in order current, if any is left.
  Result<void> advance();
  std::unique_ptr<State> state_;
};

}  // namespace lodestack::merge

#endif  // LODESTACK_MERGE_MERGED_H_
