// Writing the lines of a finished sort to a descriptor.
//
// `write_sorted` runs the final merge on a thread of its own, "lodestack-merge", which
// turns records back into lines (lines/stored.h), each followed by `end`, and cuts them
// into chunks of about 1 MiB, at most two waiting; the calling thread writes each chunk to
// `fd` while the next is merged. It waits for chunks in 50 ms slices and asks `stop`
// between them and when a write is interrupted, so Ctrl-C ends it within a moment. The
// merge, and with it the sorter's private directory, is gone when it returns, whatever
// the outcome. `written` counts the bytes written so far, for a progress display on
// another thread. Does not own `fd`.
#ifndef LODESTACK_LINES_WRITE_H_
#define LODESTACK_LINES_WRITE_H_

#include <atomic>
#include <cstdint>

#include "lines/fd.h"
#include "lines/stored.h"
#include "merge/merged.h"
#include "sorter/sorter.h"

namespace lodestack::lines {

// Failures: kOutput (writing, or Interrupted), kSort (merging).
Outcome write_sorted(merge::Merged merged, Stored stored, std::uint8_t end, int fd,
                     const sorter::Stop& stop, std::atomic<std::uint64_t>& written);

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_WRITE_H_
