#include "merge/finish.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "run/reader.h"
#include "run/writer.h"

namespace lodestack::merge {

namespace {

bool asked_to_stop(const sorter::Stop& stop) { return stop && stop(); }

Error interrupted() { return Error::io(ErrorKind::kInterrupted); }

// The start of the stretch of `k` adjacent runs with the smallest total stream length,
// the leftmost one on a tie. Merging adjacent runs keeps `runs` in insertion order, on
// which the merge's tie-break between equal keys depends.
std::size_t cheapest_window(const std::vector<run::Run>& runs, const std::size_t k) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < k; ++i) sum += runs[i].stream_len;
  std::uint64_t best = sum;
  std::size_t best_start = 0;
  for (std::size_t start = 1; start + k <= runs.size(); ++start) {
    sum = sum - runs[start - 1].stream_len + runs[start + k - 1].stream_len;
    if (sum < best) {
      best = sum;
      best_start = start;
    }
  }
  return best_start;
}

// One run source per run, in the order given; room is left for the held half.
Result<std::vector<Source>> open_runs(std::span<const run::Run> runs) {
  std::vector<Source> sources;
  sources.reserve(runs.size() + 1);
  for (const run::Run& run : runs) {
    Result<run::RunReader> reader = run::RunReader::open(run);
    if (!reader) return fail(std::move(reader.error()));
    sources.push_back(Source::run(std::move(*reader)));
  }
  return sources;
}

// Merges the cheapest window of adjacent runs into one new run, in the sort's order, which
// takes the window's place in `runs`, and deletes the window's files. Counts the pass in
// `stats`.
Result<void> merge_pass(sorter::Sorter& core, const sorter::Stop& stop, sorter::Stats& stats) {
  std::vector<run::Run>& runs = core.runs();
  const std::uint64_t n = runs.size();
  const std::uint64_t m = core.max_open();
  // Merging k runs leaves n - k + 1, so the last pass leaves exactly m.
  const std::size_t k = std::min(m, n - m + 1);
  const std::size_t start = cheapest_window(runs, k);
  const std::vector<run::Run> window(runs.begin() + start, runs.begin() + start + k);

  Result<std::vector<Source>> sources = open_runs(window);
  if (!sources) return fail(std::move(sources.error()));
  Result<Merged> merged = Merged::create(std::move(*sources), std::nullopt, core.order());
  if (!merged) return fail(std::move(merged.error()));
  Result<std::filesystem::path> path = core.next_path();
  if (!path) return fail(std::move(path.error()));
  Result<run::RunWriter> writer = run::RunWriter::create(std::move(*path), core.pool());
  if (!writer) return fail(std::move(writer.error()));

  for (;;) {
    Result<std::optional<Record>> record = merged->next_record();
    if (!record) return fail(std::move(record.error()));
    if (!*record) break;
    Result<void> pushed = writer->push((*record)->key, (*record)->payload);
    if (!pushed) return pushed;
    if (writer->records() % kStopCheckRecords == 0 && asked_to_stop(stop)) {
      return fail(interrupted());
    }
  }
  // Close the window's files before the new run is finished and they are deleted.
  {
    const Merged done = std::move(*merged);
    const sorter::Stats pass = done.stats();
    stats.dropped += pass.dropped;
    stats.max_fan_in = std::max(stats.max_fan_in, pass.max_fan_in);
    ++stats.merge_passes;
  }
  Result<run::Run> written = std::move(*writer).finish();
  if (!written) return fail(std::move(written.error()));

  const auto at = runs.erase(runs.begin() + start, runs.begin() + start + k);
  runs.insert(at, std::move(*written));
  for (const run::Run& run : window) {
    if (::unlink(run.path.c_str()) != 0) return fail(Error::from_errno(errno));
  }
  return {};
}

Result<Merged> finish_core(sorter::Sorter& core, const sorter::Stop& stop) {
  if (core.failed()) return fail(Error::lost());
  Result<void> waited = core.wait_or_stop(stop);
  if (!waited) return fail(std::move(waited.error()));
  // The merge needs room for its readers more than a spare half.
  core.release_spare();

  sorter::Stats stats = core.stats();
  while (core.runs().size() > core.max_open()) {
    if (asked_to_stop(stop)) return fail(interrupted());
    Result<void> merged = merge_pass(core, stop, stats);
    if (!merged) return fail(std::move(merged.error()));
  }

  sorter::Chunk held = core.take_chunk();
  held.sort(core.pool().get());
  Result<std::vector<Source>> sources = open_runs(core.runs());
  if (!sources) return fail(std::move(sources.error()));
  // The held half goes last: its items were added after every spilled one.
  if (held.empty()) {
    held.release();
  } else {
    sources->push_back(Source::memory(std::move(held), core.order()));
  }
  return Merged::create(std::move(*sources), core.take_dir(), core.order(), stats);
}

}  // namespace

Result<Merged> finish(std::unique_ptr<sorter::Sorter> sorter, const sorter::Stop& stop) {
  Result<Merged> merged = finish_core(*sorter, stop);
  // On success only an emptied core is left. On failure this waits for a spill still in
  // flight and removes the directory with every run, so nothing stays on disk.
  sorter.reset();
  return merged;
}

}  // namespace lodestack::merge
