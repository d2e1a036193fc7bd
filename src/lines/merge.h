// Merging inputs that are already sorted, as GNU sort -m does: a k-way merge over the
// given descriptors, each read a block at a time, its lines compared where they lie.
//
// The merge takes the smallest line among the inputs' current ones by key (descending
// with Keyer::reverse_all), and on equal keys the one from the earliest input; with
// Keyer::unique only the first line of each run of equal keys is written. Whether the
// inputs really are sorted is not checked: the result is then what GNU's merge makes of
// them. A line may be of any length; a last line without its end byte gets one.
//
// Everything runs on the calling thread, which is the one a signal interrupts: a read or
// write that a signal interrupts, and every 65,536 lines, asks `stop`. `read` and
// `written` count bytes, for a progress display on another thread. Owns no descriptor.
#ifndef LODESTACK_LINES_MERGE_H_
#define LODESTACK_LINES_MERGE_H_

#include <atomic>
#include <cstdint>
#include <span>

#include "lines/fd.h"
#include "lines/keyer.h"
#include "sorter/sorter.h"

namespace lodestack::lines {

struct MergeCounters {
  std::atomic<std::uint64_t> read{0};
  std::atomic<std::uint64_t> written{0};
};

// Failures: kInput (with the input's index in `inputs`), kOutput (writing, or Interrupted).
Outcome merge_inputs(const Keyer& keyer, std::uint8_t end, std::span<const int> inputs,
                     int output, const sorter::Stop& stop, MergeCounters& counters);

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_MERGE_H_
