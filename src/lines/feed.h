// Adding blocks of text to a core sorter, line by line.
//
// A `LineFeeder` splits each block it is given into lines (carrying a line that runs past
// the end of a block over to the next), builds each line's key with its `Keyer`, and
// pushes the line into the sorter in the form `stored()` names (lines/stored.h). A line
// whose key is the line itself is pushed as it stands, never copied into a key buffer.
//
//   LineFeeder feeder(std::move(keyer), '\n');
//   for (ByteView block : blocks) feeder.add(block, *core, stop);
//   feeder.end(*core, stop);        // a last line without its end byte
//
// A push that fails (a spill that failed, `stop` giving a wait up) ends the call with its
// error; lines before it stay added. One thread at a time.
#ifndef LODESTACK_LINES_FEED_H_
#define LODESTACK_LINES_FEED_H_

#include <cstdint>

#include "error/error.h"
#include "key/bytes.h"
#include "lines/keyer.h"
#include "lines/split.h"
#include "lines/stored.h"
#include "sorter/sorter.h"

namespace lodestack::lines {

class LineFeeder final {
 public:
  LineFeeder(Keyer keyer, std::uint8_t end);

  Result<void> add(ByteView block, sorter::Sorter& core, const sorter::Stop& stop);
  Result<void> end(sorter::Sorter& core, const sorter::Stop& stop);

  Stored stored() const { return stored_; }
  // Lines pushed so far.
  std::uint64_t lines() const { return lines_; }

 private:
  Result<void> push(ByteView line, sorter::Sorter& core, const sorter::Stop& stop);

  // Constant after construction.
  const Keyer keyer_;
  const Stored stored_;

  LineBlocks blocks_;
  Bytes key_;      // scratch for the key of the line being pushed
  Bytes payload_;  // scratch for a line's length
  std::uint64_t lines_ = 0;
};

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_FEED_H_
