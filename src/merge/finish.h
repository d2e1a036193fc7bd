// Finishing a sort: from a core sorter that took items to the final merge.
//
// `finish` consumes the core sorter. It waits for the spill in flight, merges runs in
// passes while more than max_open remain (each pass the stretch of adjacent runs with
// the smallest total stream length, so runs stay in insertion order), sorts the half
// still held and builds the final merge over the runs and that half, handing it the
// private directory, the sorter's order and the stats gathered so far (the passes and
// their fan-in and drops counted too). `stop` is asked during the spill wait, at the start
// of each pass and every 65,536 records of a pass; when it answers true the call fails
// with an Interrupted error. On any failure the core sorter is destroyed before returning
// (waiting for its spill and removing its directory), so nothing is left on disk.
//
// Runs on the caller's thread, detached from Python, while it holds the sorter's lock.
#ifndef LODESTACK_MERGE_FINISH_H_
#define LODESTACK_MERGE_FINISH_H_

#include <memory>

#include "error/error.h"
#include "merge/merged.h"
#include "sorter/sorter.h"

namespace lodestack::merge {

inline constexpr std::uint64_t kStopCheckRecords = 65536;

Result<Merged> finish(std::unique_ptr<sorter::Sorter> sorter, const sorter::Stop& stop);

}  // namespace lodestack::merge

#endif  // LODESTACK_MERGE_FINISH_H_
