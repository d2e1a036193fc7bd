#include "run/writer.h"

#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

namespace lodestack::run {

namespace {

// The output buffer: blocks are copied into it so the file sees few, large writes.
constexpr std::size_t kOutSize = std::size_t{1} << 20;
// The most slots a writer uses, whatever the pool's size: more would only hold memory
// without keeping more cores busy.
constexpr std::size_t kMaxSlots = 16;

static_assert(kMaxBlock <= kOutSize, "a whole block must fit in the output buffer");
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

// One slot of a batch: stream bytes waiting for compression, then the block as it goes to
// the file. A slot is touched either by the writer's thread or, during a parallel batch,
// by exactly one pool task.
struct Block {
  std::unique_ptr<std::uint8_t[]> data;  // kBlockSize bytes once first used
  std::size_t len = 0;                   // valid bytes of `data`
  Bytes compressed;                      // header + LZ4 data; grown, never shrunk
  std::size_t written = 0;               // valid bytes of `compressed` after compress()
  std::optional<Error> failure;          // set by a pool task that failed

  // REQUIRES: `compressed` holds at least kHeaderSize + max_compressed(len) bytes, so that
  // a pool task never allocates.
  Result<void> compress() {
    const std::size_t room = compressed.size() - kHeaderSize;
    const int c = LZ4_compress_default(reinterpret_cast<const char*>(data.get()),
                                       reinterpret_cast<char*>(compressed.data() + kHeaderSize),
                                       static_cast<int>(len), static_cast<int>(room));
    if (c <= 0) {
      return fail(Error::io(ErrorKind::kOther, "lz4 could not compress a block"));
    }
    store_le32(compressed.data(), static_cast<std::uint32_t>(c));
    store_le32(compressed.data() + 4, static_cast<std::uint32_t>(len));
    written = kHeaderSize + static_cast<std::size_t>(c);
    return {};
  }
};

}  // namespace

struct RunWriter::State {
  // Constant after construction.
  std::filesystem::path path;
  std::shared_ptr<sorter::Pool> pool;  // null when blocks compress on this thread

  int fd = -1;  // owned; -1 once closed
  std::unique_ptr<std::uint8_t[]> out =
      std::make_unique_for_overwrite<std::uint8_t[]>(kOutSize);
  std::size_t out_len = 0;  // bytes of `out` not yet written to the file

  std::vector<Block> blocks;  // B slots
  std::size_t filling = 0;    // slot being filled; slots before it are full
  std::uint64_t records = 0;
  std::uint64_t stream_len = 0;
  std::uint64_t file_len = 0;

  State(std::filesystem::path p, std::shared_ptr<sorter::Pool> pl, std::size_t slots)
      : path(std::move(p)), pool(std::move(pl)), blocks(slots) {}

  State(const State&) = delete;
  State& operator=(const State&) = delete;

  ~State() {
    // Dropped without finish, after an error: nothing is worth reporting any more, and
    // the file stays for the directory's owner to remove.
    if (fd >= 0) ::close(fd);
  }

  Result<void> write_bytes(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      Block& block = blocks[filling];
      if (!block.data) block.data = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
      const std::size_t n = std::min(kBlockSize - block.len, size);
      std::memcpy(block.data.get() + block.len, data, n);
      block.len += n;
      data += n;
      size -= n;
      if (block.len == kBlockSize && ++filling == blocks.size()) {
        if (Result<void> r = write_blocks(); !r) return r;
      }
    }
    return {};
  }

  // Compresses the filled slots and writes them in slot order, leaving every slot empty.
  Result<void> write_blocks() {
    std::size_t k = 0;
    while (k < blocks.size() && blocks[k].len > 0) ++k;
    // Grow the output buffers here, on the writer's thread, where running out of memory
    // is caught; pool tasks must not throw.
    for (std::size_t i = 0; i < k; ++i) {
      const std::size_t need = kHeaderSize + max_compressed(blocks[i].len);
      if (blocks[i].compressed.size() < need) blocks[i].compressed.resize(need);
    }
    if (k >= 2 && pool) {
      pool->for_each(k, [this](std::size_t i) {
        Block& block = blocks[i];
        block.failure.reset();
        if (Result<void> r = block.compress(); !r) block.failure = std::move(r.error());
      });
      for (std::size_t i = 0; i < k; ++i) {
        if (blocks[i].failure) return fail(*std::move(blocks[i].failure));
      }
    } else {
      for (std::size_t i = 0; i < k; ++i) {
        if (Result<void> r = blocks[i].compress(); !r) return r;
      }
    }
    for (std::size_t i = 0; i < k; ++i) {
      if (Result<void> r = put(blocks[i].compressed.data(), blocks[i].written); !r) return r;
      blocks[i].len = 0;
    }
    filling = 0;
    return {};
  }

  // REQUIRES: size <= kOutSize.
  Result<void> put(const std::uint8_t* data, std::size_t size) {
    if (size > kOutSize - out_len) {
      if (Result<void> r = flush(); !r) return r;
    }
    std::memcpy(out.get() + out_len, data, size);
    out_len += size;
    file_len += size;
    return {};
  }

  Result<void> flush() {
    if (out_len == 0) return {};
    if (Result<void> r = write_all(fd, out.get(), out_len); !r) return r;
    out_len = 0;
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
  const std::size_t slots = pool ? std::min(2 * pool->threads(), kMaxSlots) : 1;
  // Everything that can fail to allocate comes before the file exists, so the state's
  // destructor is the one place that closes it.
  auto state = std::make_unique<State>(std::move(path), std::move(pool), slots);
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

  Block& block = s.blocks[s.filling];
  if (block.data && kBlockSize - block.len > size) {
    // Most records land inside one slot without filling it: copy them in one go. Strictly
    // greater, so a slot that becomes full always goes through write_bytes.
    std::uint8_t* p = block.data.get() + block.len;
    std::memcpy(p, key_len, 4);
    p += 4;
    if (!key.empty()) std::memcpy(p, key.data(), key.size());
    p += key.size();
    std::memcpy(p, payload_len, 4);
    p += 4;
    if (!payload.empty()) std::memcpy(p, payload.data(), payload.size());
    block.len += size;
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
  Result<void> r = s->write_blocks();
  if (r) r = s->flush();
  if (r) r = s->close_file();
  if (!r) return fail(r.error().with_path(s->path));
  return Run{s->path, s->records, s->stream_len, s->file_len};
}

std::uint64_t RunWriter::records() const { return state_->records; }

std::size_t RunWriter::slots() const { return state_->blocks.size(); }

}  // namespace lodestack::run
