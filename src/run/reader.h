// Reads one run file front to back, one length-prefixed field at a time.
//
// Only one block is held in memory (kBlockSize bytes decompressed, kMaxBlock compressed,
// allocated at the first block). Each body read also asks for the next block's 8-byte
// header, so a run costs one read call per block. Every length is checked before anything
// is copied: a block header against the format's limits, a field length against what is
// left of the descriptor's stream, so damage can neither run past the run nor allocate
// more than it holds.
//
// Errors: "a block has an impossible length", "a block does not decompress to its
// length", "a record is longer than the rest of the run" (kind InvalidData); a file that
// ends early gives kind UnexpectedEof with no message; read failures are the system's.
// The path is added by the merge, which knows how to word each. A reader is used by one
// thread at a time and may move between threads. It never deletes its file.
#ifndef LODESTACK_RUN_READER_H_
#define LODESTACK_RUN_READER_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "error/error.h"
#include "key/bytes.h"
#include "run/format.h"

namespace lodestack::run {

class RunReader final {
 public:
  // Opens the run read-only and close-on-exec; allocates nothing yet. Errors read
  // "{path}: {system's message}".
  static Result<RunReader> open(const Run& run);

  RunReader(RunReader&&) noexcept;
  RunReader& operator=(RunReader&&) noexcept;
  RunReader(const RunReader&) = delete;
  RunReader& operator=(const RunReader&) = delete;
  ~RunReader();

  // Bytes of the current block left to consume (at least 1), loading the next block when
  // the current one is used up.
  Result<std::size_t> unread();

  // Reads one field (a u32 little-endian length L and L bytes) into `out`, replacing its
  // contents; `out` keeps its capacity.
  Result<void> read_field(Bytes& out);

  const std::filesystem::path& path() const;
  // Records not yet read: the merge counts them down after each whole record.
  std::uint64_t records_left() const;
  void record_read();

 private:
  struct State;
  explicit RunReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace lodestack::run

#endif  // LODESTACK_RUN_READER_H_
