#include "run/writer.h"

#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace lodestack::run {

namespace {

// The most slots a writer uses, whatever the pool's size: more would only hold memory
// without keeping more cores busy.
constexpr std::size_t kMaxSlots = 16;

static_assert(kBlockSize <= LZ4_MAX_INPUT_SIZE, "LZ4 takes a block in one call");
static_assert(kMaxCompressed <= LZ4_MAX_INPUT_SIZE, "LZ4 sizes are ints");
// Giving LZ4 at least its worst case lets it skip its output bound checks; the format's
// limit is what the reader accepts, so no block we write can be refused.
static_assert(LZ4_COMPRESSBOUND(kBlockSize) <= kMaxCompressed);

void store_le32(std::uint8_t* out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
  out[2] = static_cast<std::uint8_t>(v >> 16);
  out[3] = static_cast<std::uint8_t>(v >> 24);
}

// Writes all of `data`, going on after short writes and signals: a regular file may take
// less than asked when it reaches a size limit, and the next call then reports why.
Result<void> write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::from_errno(errno));
    }
    if (n == 0) {
      // Looping again would spin forever on a file that takes nothing.
      return fail(Error::io(ErrorKind::kOther, "a write stored no bytes"));
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Error compress_failed() {
  return Error::io(ErrorKind::kOther, "lz4 could not compress a block");
}

// One slot: stream bytes waiting for compression, then the block as it goes to the file.
// A slot is touched by the writer's thread, or, while its set is being compressed, by
// exactly one pool task.
struct Slot {
  // Both allocated when the slot is first filled, so a small run holds only what it uses.
  std::unique_ptr<std::uint8_t[]> data;   // kBlockSize bytes
  std::unique_ptr<std::uint8_t[]> block;  // kMaxBlock bytes: the header, then LZ4 data
  std::size_t len = 0;                    // valid bytes of `data`
  std::size_t written = 0;                // valid bytes of `block` after compress()
  bool failed = false;                    // compress() failed in a pool task

  // Compresses `data` into `block`. Never allocates or throws, so a pool task may run it.
  bool compress() noexcept {
    const int c = LZ4_compress_default(reinterpret_cast<const char*>(data.get()),
                                       reinterpret_cast<char*>(block.get() + kHeaderSize),
                                       static_cast<int>(len), static_cast<int>(kMaxCompressed));
    if (c <= 0) return false;
    store_le32(block.get(), static_cast<std::uint32_t>(c));
    store_le32(block.get() + 4, static_cast<std::uint32_t>(len));
    written = kHeaderSize + static_cast<std::size_t>(c);
    return true;
  }
};

// The pool task of one set: compresses its slot i.
struct Compress {
  Slot* slots = nullptr;
  void operator()(std::size_t i) const { slots[i].failed = !slots[i].compress(); }
};

}  // namespace

// Without a pool the writer has one set of one slot, compressed and written as it fills.
// With one it has two sets: when the set being filled is full, the writer waits for the
// other one's compression (usually long done; a block no worker has started yet it
// compresses itself), writes it, starts compressing the full one on the pool, and goes on
// filling the set it has just written. So filling, which reads the records out of a
// sorted chunk, overlaps compressing, and at most one set is ever in flight: the one that
// is not being filled.
struct RunWriter::State {
  // Constant after construction.
  std::filesystem::path path;
  std::shared_ptr<sorter::Pool> pool;  // null when blocks compress on this thread
  std::size_t per_set;                 // slots in a set
  std::vector<Slot> slots;             // the sets, one after the other; never reallocated

  int fd = -1;              // owned; -1 once closed
  std::size_t current = 0;  // the set being filled
  std::size_t filling = 0;  // its slot being filled; slots before it are full
  std::uint64_t records = 0;
  std::uint64_t stream_len = 0;
  std::uint64_t file_len = 0;

  // Per set, with a pool: its task, its batch while in flight, and how many slots it
  // carries. Only the set that is not current may be in flight.
  Compress tasks[2];
  sorter::Pool::Batch batches[2];
  bool in_flight[2] = {false, false};
  std::size_t shipped[2] = {0, 0};

  State(std::filesystem::path p, std::shared_ptr<sorter::Pool> pl, std::size_t per,
        std::size_t sets)
      : path(std::move(p)), pool(std::move(pl)), per_set(per), slots(per * sets) {
    for (std::size_t s = 0; s < sets; ++s) tasks[s].slots = set(s);
  }

  State(const State&) = delete;
  State& operator=(const State&) = delete;

  ~State() {
    // The pool may still be compressing into these slots.
    for (std::size_t s = 0; s < 2; ++s) {
      if (in_flight[s]) pool->wait(batches[s]);
    }
    // Dropped without finish, after an error: nothing is worth reporting any more, and
    // the file stays for the directory's owner to remove.
    if (fd >= 0) ::close(fd);
  }

  Slot* set(std::size_t s) { return slots.data() + s * per_set; }

  Result<void> write_bytes(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      Slot& slot = set(current)[filling];
      if (!slot.data) {
        slot.data = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
        slot.block = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxBlock);
      }
      const std::size_t n = std::min(kBlockSize - slot.len, size);
      std::memcpy(slot.data.get() + slot.len, data, n);
      slot.len += n;
      data += n;
      size -= n;
      if (slot.len == kBlockSize && ++filling == per_set) {
        if (Result<void> r = ship(); !r) return r;
      }
    }
    return {};
  }

  // Sends the current set's filled slots on, and starts filling a free set. The current set
  // starts before the other is waited for and written, so that the pool compresses while
  // this thread writes.
  Result<void> ship() {
    std::size_t k = filling;
    if (k < per_set && set(current)[k].len > 0) ++k;
    filling = 0;
    if (k == 0) return {};
    if (!pool) {
      for (std::size_t i = 0; i < k; ++i) {
        if (!set(current)[i].compress()) return fail(compress_failed());
      }
      return write_set(current, k);
    }
    const std::size_t other = 1 - current;
    shipped[current] = k;
    in_flight[current] = true;
    pool->start(batches[current], k, tasks[current]);
    if (Result<void> r = drain(other); !r) return r;
    current = other;
    return {};
  }

  // Waits for set `s` if it is in flight, and writes it.
  Result<void> drain(std::size_t s) {
    if (!in_flight[s]) return {};
    pool->wait(batches[s]);
    in_flight[s] = false;
    for (std::size_t i = 0; i < shipped[s]; ++i) {
      if (set(s)[i].failed) return fail(compress_failed());
    }
    return write_set(s, shipped[s]);
  }

  // Writes the first `k` slots of set `s`, compressed, in order, and empties them. Each
  // block is one write: they are large enough for the file, and copying them into a
  // bigger buffer first would only hold more memory.
  Result<void> write_set(std::size_t s, std::size_t k) {
    for (std::size_t i = 0; i < k; ++i) {
      Slot& slot = set(s)[i];
      if (Result<void> r = write_all(fd, slot.block.get(), slot.written); !r) return r;
      file_len += slot.written;
      slot.len = 0;
    }
    return {};
  }

  Result<void> close_file() {
    const int fd_to_close = std::exchange(fd, -1);
    // Linux releases the descriptor even when close reports EINTR, so retrying could close
    // a descriptor another thread has just opened. The bytes were already handed to the
    // kernel, and anything lost would be caught by the reader's length checks.
    if (::close(fd_to_close) != 0 && errno != EINTR) return fail(Error::from_errno(errno));
    return {};
  }
};

Result<RunWriter> RunWriter::create(std::filesystem::path path,
                                    std::shared_ptr<sorter::Pool> pool) {
  // A set's slots are compressed at once, one per worker.
  const std::size_t per_set = pool ? std::min(pool->threads(), kMaxSlots / 2) : 1;
  const std::size_t sets = pool ? 2 : 1;
  // Everything that can fail to allocate comes before the file exists, so the state's
  // destructor is the one place that closes it.
  auto state = std::make_unique<State>(std::move(path), std::move(pool), per_set, sets);
  do {
    // 0600 rather than 0666: runs hold the user's data, which other local users have no
    // business reading, whatever the umask.
    state->fd = ::open(state->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  } while (state->fd < 0 && errno == EINTR);
  if (state->fd < 0) return fail(path_error(state->path, errno));
  return RunWriter(std::move(state));
}

RunWriter::RunWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
RunWriter::RunWriter(RunWriter&&) noexcept = default;
RunWriter& RunWriter::operator=(RunWriter&&) noexcept = default;
RunWriter::~RunWriter() = default;

Result<void> RunWriter::push(ByteView key, ByteView payload) {
  assert(key.size() <= UINT32_MAX && payload.size() <= UINT32_MAX);
  State& s = *state_;
  std::uint8_t key_len[4];
  std::uint8_t payload_len[4];
  store_le32(key_len, static_cast<std::uint32_t>(key.size()));
  store_le32(payload_len, static_cast<std::uint32_t>(payload.size()));
  const std::size_t size = key.size() + payload.size() + 8;

  Slot& slot = s.set(s.current)[s.filling];
  if (slot.data && kBlockSize - slot.len > size) {
    // Most records land inside one slot without filling it: copy them in one go. Strictly
    // greater, so a slot that becomes full always goes through write_bytes.
    std::uint8_t* p = slot.data.get() + slot.len;
    std::memcpy(p, key_len, 4);
    p += 4;
    if (!key.empty()) std::memcpy(p, key.data(), key.size());
    p += key.size();
    std::memcpy(p, payload_len, 4);
    p += 4;
    if (!payload.empty()) std::memcpy(p, payload.data(), payload.size());
    slot.len += size;
  } else {
    for (const ByteView part : {ByteView(key_len), key, ByteView(payload_len), payload}) {
      if (Result<void> r = s.write_bytes(part.data(), part.size()); !r) {
        return fail(r.error().with_path(s.path));
      }
    }
  }
  ++s.records;
  s.stream_len += size;
  return {};
}

Result<Run> RunWriter::finish() && {
  // Taking the state means that it, and with it the file, is released however this ends.
  const std::unique_ptr<State> s = std::move(state_);
  Result<void> r = s->ship();
  if (r) r = s->drain(1 - s->current);
  if (r) r = s->close_file();
  if (!r) return fail(r.error().with_path(s->path));
  return Run{s->path, s->records, s->stream_len, s->file_len};
}

std::uint64_t RunWriter::records() const { return state_->records; }

std::size_t RunWriter::slots() const { return state_->slots.size(); }

}  // namespace lodestack::run
