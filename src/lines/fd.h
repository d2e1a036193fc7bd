// Reading and writing the descriptors a sort command is given (its inputs and its output),
// as opposed to the run files the sorter keeps for itself.
//
// Both calls finish what they can and report the rest: a short write is resumed, and
// every wait for the descriptor (a pipe, a FIFO, a non-blocking one) goes in 50 ms slices,
// asking `stop` between them and when a signal interrupted a call, so that Ctrl-C ends a
// wait on a silent FIFO or a full pipe within a moment. Errors carry the errno
// (Error::os_errno). Neither call owns `fd`.
//
// `Failure` says where a command's operation failed, so that its message can name the
// right file: one of the inputs, the output, the temporary directory, or the sort itself.
#ifndef LODESTACK_LINES_FD_H_
#define LODESTACK_LINES_FD_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "error/error.h"
#include "key/bytes.h"
#include "sorter/sorter.h"

namespace lodestack::lines {

struct Failure {
  enum class Side : std::uint8_t {
    kSort,    // the sorter: a spilled run could not be written or read back, ...
    kTmpDir,  // the private directory could not be made in the temporary directory
    kInput,   // reading input number `input`
    kOutput,  // writing the output
  };
  Side side;
  std::size_t input;
  Error error;
};

using Outcome = std::expected<void, Failure>;

inline std::unexpected<Failure> fail_at(Failure::Side side, Error error,
                                        std::size_t input = 0) {
  return std::unexpected<Failure>(Failure{side, input, std::move(error)});
}

// Writes all of `data`. An Interrupted error when `stop` said so.
Result<void> write_all(int fd, ByteView data, const sorter::Stop& stop);

// Reads at most buffer.size() bytes; 0 at the end of the input. An Interrupted error when
// `stop` said so.
Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer, const sorter::Stop& stop);

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_FD_H_
