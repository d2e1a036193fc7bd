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

// The merge order: key bytes compared unsigned, a proper prefix first, then the source
// index, which the caller makes insertion order. No two heads are equal, since no two
// share a source.
bool less(const Head& a, const Head& b) {
  const std::size_t common = std::min(a.key.size(), b.key.size());
  if (common != 0) {
    const int order = std::memcmp(a.key.data(), b.key.data(), common);
    if (order != 0) return order < 0;
  }
  if (a.key.size() != b.key.size()) return a.key.size() < b.key.size();
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

Source Source::memory(sorter::Chunk chunk) { return Source(Memory{std::move(chunk)}); }

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
  if (memory.cursor == memory.chunk.size()) return false;
  const sorter::Entry& entry = memory.chunk.entries()[memory.cursor];
  const ByteView k = memory.chunk.key(entry);
  const ByteView p = memory.chunk.payload(entry);
  key.assign(k.begin(), k.end());
  payload.assign(p.begin(), p.end());
  ++memory.cursor;
  return true;
}

struct Merged::State {
  std::vector<Source> sources;  // in the order given: the tie-break between equal keys
  // A binary min-heap by `less`, at most one head per source. Invariant: every source
  // with records left has exactly one head, in `heap` or in `current`.
  std::vector<Head> heap;
  std::optional<Head> current;  // the record handed out last
  std::optional<sorter::TempDir> dir;
  bool failed = false;

  ~State() { release(); }

  // Closes the sources' files, frees the heads, then removes the directory with every
  // run in it. Called at the end, on failure, and when the merge is dropped.
  void release() {
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

Result<Merged> Merged::create(std::vector<Source> sources, std::optional<sorter::TempDir> dir) {
  auto state = std::make_unique<State>();
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
  if (!state.current) {
    state.pop();
    return state.record();
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
    return state.record();
  }
  // Runs come in long stretches from one source: while the refilled head stays below the
  // top, one comparison is all a record costs.
  if (!state.heap.empty() && !less(head, state.heap.front())) {
    std::swap(head, state.heap.front());
    state.sift_down(0);
  }
  return state.record();
}

}  // namespace lodestack::merge
