// Checking that text is already sorted, as GNU sort -c and -C do.
//
// A `Checker` is fed the input a block at a time and compares each line's key with the
// key of the line before it (Keyer::out_of_order, so -r, -u and the last-resort comparison
// count). It reports the first line out of order with its number, counted from 1, and
// from then on only that line.
//
//   Checker checker(std::move(keyer), '\n');
//   for (ByteView block : blocks) if (auto d = checker.add(block)) return *d;
//   return checker.end();
//
// One thread at a time.
#ifndef LODESTACK_LINES_CHECK_H_
#define LODESTACK_LINES_CHECK_H_

#include <cstdint>
#include <optional>

#include "key/bytes.h"
#include "lines/keyer.h"
#include "lines/split.h"

namespace lodestack::lines {

struct Disorder {
  std::uint64_t line_number;
  Bytes line;  // without its end byte
};

class Checker final {
 public:
  Checker(Keyer keyer, std::uint8_t end);

  std::optional<Disorder> add(ByteView block);
  // At the end of the input: checks a last line without its end byte.
  std::optional<Disorder> end();

 private:
  // False when `line` is out of order, which it then records.
  bool check(ByteView line);

  const Keyer keyer_;
  LineBlocks blocks_;
  Bytes previous_;  // the key of the line before, once there was one
  Bytes key_;
  std::uint64_t lines_ = 0;
  std::optional<Disorder> disorder_;
};

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_CHECK_H_
