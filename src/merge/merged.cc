#include "merge/merged.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace lodestack::merge {

namespace {

// The current record of one source. Its buffers stay with it and are refilled in place,
// so they grow to the source's largest record and a merge allocates nothing per record.
struct Head {
  Bytes key;
  Bytes payload;
  std::uint64_t source = 0;
};

// Key bytes compared unsigned, a proper prefix first: negative, 0 or positive.
int compare_keys(const Bytes& a, const Bytes& b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (common != 0) {
    const int order = std::memcmp(a.data(), b.data(), common);
    if (order != 0) return order;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The merge order: by key, descending with `reverse`, then by source index, which the
// caller makes insertion order, in either direction. No two heads are equal, since no two
// share a source.
bool before(const Head& a, const Head& b, const bool reverse) {
  const int order = compare_keys(a.key, b.key);
  if (order != 0) return reverse ? order > 0 : order < 0;
  return a.source < b.source;
}

// Names the run file in a reader's error, worded for what went wrong with it.
Error name_run(const Error& error, const std::filesystem::path& path) {
  switch (error.kind()) {
    case ErrorKind::kInvalidData:
      return Error::io(ErrorKind::kInvalidData, path.native() + " is corrupt: " + error.text());
    case ErrorKind::kUnexpectedEof:
      return Error::io(ErrorKind::kUnexpectedEof,
                       path.native() + " ended before its last record");
    default: return error.with_path(path);
  }
}

}  // namespace

Source Source::run(run::RunReader reader) { return Source(std::move(reader)); }

Source Source::memory(sorter::Chunk chunk, const sorter::Order order) {
  return Source(Memory{std::move(chunk), sorter::Walk(order)});
}

std::uint64_t Source::dropped() const {
  const Memory* const memory = std::get_if<Memory>(&v_);
  return memory == nullptr ? 0 : memory->walk.dropped();
}

Result<bool> Source::read_into(Bytes& key, Bytes& payload) {
  if (run::RunReader* const reader = std::get_if<run::RunReader>(&v_)) {
    // The descriptor's count, not the end of the file, ends a run: nothing after the
    // last record is read.
    if (reader->records_left() == 0) return false;
    if (Result<void> read = reader->read_field(key); !read) {
      return fail(name_run(read.error(), reader->path()));
    }
    if (Result<void> read = reader->read_field(payload); !read) {
      return fail(name_run(read.error(), reader->path()));
    }
    reader->record_read();
    return true;
  }
  Memory& memory = std::get<Memory>(v_);
  const sorter::Entry* const entry = memory.walk.next(memory.chunk);
  if (entry == nullptr) return false;
  const ByteView k = memory.chunk.key(*entry);
  const ByteView p = memory.chunk.payload(*entry);
  key.assign(k.begin(), k.end());
  payload.assign(p.begin(), p.end());
  return true;
}

struct Merged::State {
  // Constant after creation.
  sorter::Order order;

  std::vector<Source> sources;  // in the order given: the tie-break between equal keys
  // A binary heap by `before`, its first head the next in order, at most one head per
  // source. Invariant: every source with records left has exactly one head, in `heap` or
  // in `current`.
  std::vector<Head> heap;
  std::optional<Head> current;  // the record handed out last
  Bytes last_key;               // with `unique`: the key handed out last, if `any_out`
  bool any_out = false;
  std::optional<sorter::TempDir> dir;
  bool failed = false;
  sorter::Stats stats;  // with this merge's own fan-in, and drops of the sources released

  ~State() { release(); }

  bool less(const Head& a, const Head& b) const { return before(a, b, order.reverse); }

  // Closes the sources' files, frees the heads, then removes the directory with every
  // run in it. Called at the end, on failure, and when the merge is dropped.
  void release() {
    for (const Source& source : sources) stats.dropped += source.dropped();
    sources.clear();
    heap.clear();
    current.reset();
    dir.reset();
  }

  void sift_up(std::size_t i) {
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (!less(heap[i], heap[parent])) return;
      std::swap(heap[i], heap[parent]);
      i = parent;
    }
  }

  void sift_down(std::size_t i) {
    const std::size_t n = heap.size();
    for (;;) {
      std::size_t child = 2 * i + 1;
      if (child >= n) return;
      if (child + 1 < n && less(heap[child + 1], heap[child])) ++child;
      if (!less(heap[child], heap[i])) return;
      std::swap(heap[i], heap[child]);
      i = child;
    }
  }

  // Makes the smallest head current. With none left the merge has ended: the sources and
  // the directory go now rather than when the merge is dropped.
  void pop() {
    if (heap.empty()) {
      release();
      return;
    }
    current = std::move(heap.front());
    if (heap.size() > 1) heap.front() = std::move(heap.back());
    heap.pop_back();
    sift_down(0);
  }

  std::optional<Record> record() const {
    if (!current) return std::nullopt;
    return Record{current->key, current->payload};
  }
};

Merged::Merged(std::unique_ptr<State> state) : state_(std::move(state)) {}
Merged::Merged(Merged&&) noexcept = default;
Merged& Merged::operator=(Merged&&) noexcept = default;
Merged::~Merged() = default;

Result<Merged> Merged::create(std::vector<Source> sources, std::optional<sorter::TempDir> dir,
                              const sorter::Order order, const sorter::Stats stats) {
  auto state = std::make_unique<State>();
  state->order = order;
  state->stats = stats;
  state->stats.max_fan_in = std::max<std::uint64_t>(stats.max_fan_in, sources.size());
  state->sources = std::move(sources);
  state->dir = std::move(dir);
  state->heap.reserve(state->sources.size());
  for (std::size_t i = 0; i < state->sources.size(); ++i) {
    Head head;
    head.source = i;
    Result<bool> read = state->sources[i].read_into(head.key, head.payload);
    if (!read) return fail(std::move(read.error()));  // `state` takes the directory along
    if (!*read) continue;
    state->heap.push_back(std::move(head));
    state->sift_up(state->heap.size() - 1);
  }
  if (state->heap.empty()) state->release();
  return Merged(std::move(state));
}

Result<std::optional<Record>> Merged::next_record() {
  State& state = *state_;
  if (state.failed) return fail(Error::lost());
  for (;;) {
    if (Result<void> advanced = advance(); !advanced) return fail(std::move(advanced.error()));
    if (!state.current || !state.order.unique) return state.record();
    const Bytes& key = state.current->key;
    if (state.any_out && compare_keys(key, state.last_key) == 0) {
      ++state.stats.dropped;
      continue;
    }
    state.last_key.assign(key.begin(), key.end());
    state.any_out = true;
    return state.record();
  }
}

Result<void> Merged::advance() {
  State& state = *state_;
  if (!state.current) {
    state.pop();
    return {};
  }
  Head& head = *state.current;
  Result<bool> read = state.sources[head.source].read_into(head.key, head.payload);
  if (!read) {
    state.failed = true;
    state.release();
    return fail(std::move(read.error()));
  }
  if (!*read) {
    state.current.reset();
    state.pop();
    return {};
  }
  // Runs come in long stretches from one source: while the refilled head stays before the
  // top, one comparison is all a record costs.
  if (!state.heap.empty() && !state.less(head, state.heap.front())) {
    std::swap(head, state.heap.front());
    state.sift_down(0);
  }
  return {};
}

sorter::Stats Merged::stats() const {
  sorter::Stats stats = state_->stats;
  for (const Source& source : state_->sources) stats.dropped += source.dropped();
  return stats;
}

}  // namespace lodestack::merge
