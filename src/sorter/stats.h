// What a sort did, for tuning its settings: counted where the work happens, at the cost of
// an addition there, and exact. The core sorter counts what it takes and spills, `finish`
// the merge passes and fan-in, and `Merged` the duplicates it drops. Plain data.
#ifndef LODESTACK_SORTER_STATS_H_
#define LODESTACK_SORTER_STATS_H_

#include <cstdint>

namespace lodestack::sorter {

struct Stats {
  std::uint64_t added = 0;             // items taken by push
  std::uint64_t dropped = 0;           // items left out as duplicates (unique only)
  std::uint64_t runs = 0;              // runs spilled from memory
  std::uint64_t spilled_bytes = 0;     // record stream bytes of those runs
  std::uint64_t compressed_bytes = 0;  // file bytes of those runs
  std::uint64_t merge_passes = 0;      // passes that merged runs into a new run
  std::uint64_t max_fan_in = 0;        // the most sources one merge read, the final one too
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_STATS_H_
