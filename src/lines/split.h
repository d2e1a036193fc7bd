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
// `LineBlocks` does that carrying for a stream of blocks: it hands each whole line to a
// callback, the first one of a block joined with the tail the blocks before it left.
//
// One thread at a time; header-only, so that the loops inline into their callers.
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

class LineBlocks final {
 public:
  explicit LineBlocks(std::uint8_t end) : end_(end) {}

  // Calls `each(line)` for every line that ends in `block`, in order, and keeps what
  // follows the last end byte for the next call. `each` returns false to stop: add then
  // returns false and the rest of the block is dropped. The line passed may point into
  // `block` or into this object, valid only during the call.
  template <typename F>
  bool add(ByteView block, F&& each) {
    if (!carry_.empty()) {
      auto const* found = static_cast<const std::uint8_t*>(
          block.empty() ? nullptr : std::memchr(block.data(), end_, block.size()));
      if (found == nullptr) {
        carry_.insert(carry_.end(), block.begin(), block.end());
        return true;
      }
      auto const length = static_cast<std::size_t>(found - block.data());
      carry_.insert(carry_.end(), block.begin(), block.begin() + length);
      bool const go_on = each(ByteView(carry_));
      carry_.clear();
      if (!go_on) return false;
      block = block.subspan(length + 1);
    }
    LineSplitter split(block, end_);
    while (auto const line = split.next()) {
      if (!each(*line)) return false;
    }
    ByteView const rest = split.rest();
    carry_.assign(rest.begin(), rest.end());
    return true;
  }

  // At the end of the input: calls `each` for the last line if it had no end byte, and
  // returns what `each` returned (true when there was none).
  template <typename F>
  bool finish(F&& each) {
    if (carry_.empty()) return true;
    bool const go_on = each(ByteView(carry_));
    carry_.clear();
    return go_on;
  }

 private:
  std::uint8_t end_;
  Bytes carry_;  // the start of a line that a later block ends
};

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_SPLIT_H_
