// Splits a block of input into lines.
//
// A LineSplitter walks one block (borrowed: the caller keeps it alive and unchanged while
// the splitter is used) and yields each line that ends inside it, without its end byte
// ('\n', or 0x00 for -z). The end byte follows each line in the block, so a line with its
// end is ByteView(line.data(), line.size() + 1). What is left once next() says no more is
// the start of a line that the next block finishes: the caller carries rest() over, and
// at the end of the input treats a non-empty rest as a last line without an end byte.
//
//   LineSplitter split(block, '\n');
//   while (auto line = split.next()) use(*line);
//   carry(split.rest());
//
// One thread at a time; header-only, so that the loop inlines into its caller.
#ifndef LODESTACK_LINES_SPLIT_H_
#define LODESTACK_LINES_SPLIT_H_

#include <cstdint>
#include <cstring>
#include <optional>

#include "key/bytes.h"

namespace lodestack::lines {

class LineSplitter final {
 public:
  LineSplitter(ByteView block, std::uint8_t end) : block_(block), end_(end) {}

  // The next whole line, or nothing when no end byte is left in the block.
  std::optional<ByteView> next() {
    std::size_t const left = block_.size() - done_;
    if (left == 0) return std::nullopt;
    const std::uint8_t* const start = block_.data() + done_;
    auto const* found = static_cast<const std::uint8_t*>(std::memchr(start, end_, left));
    if (found == nullptr) return std::nullopt;
    auto const length = static_cast<std::size_t>(found - start);
    done_ += length + 1;
    return ByteView(start, length);
  }

  // The bytes after the last line next() returned.
  ByteView rest() const { return block_.subspan(done_); }

 private:
  ByteView block_;
  std::uint8_t end_;
  std::size_t done_ = 0;  // bytes of the lines returned so far, with their end bytes
};

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_SPLIT_H_
