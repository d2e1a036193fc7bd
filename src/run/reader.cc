#include "run/reader.h"

#include <fcntl.h>
#include <lz4.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace lodestack::run {

namespace {

// Room for the largest block's LZ4 data plus the next block's header, read in the same
// call so that a run costs one read per block.
constexpr std::size_t kCompressedRoom = kMaxCompressed + kHeaderSize;

static_assert(kMaxCompressed <= LZ4_MAX_INPUT_SIZE, "LZ4 sizes are ints");
static_assert(kCompressedRoom <= INT_MAX, "one read call takes a whole block");

std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

Error impossible_length() {
  return Error::io(ErrorKind::kInvalidData, "a block has an impossible length");
}

Error bad_block() {
  return Error::io(ErrorKind::kInvalidData, "a block does not decompress to its length");
}

Error field_too_long() {
  return Error::io(ErrorKind::kInvalidData, "a record is longer than the rest of the run");
}

// One read call, retried when a signal interrupts it. Returns the bytes read (0 at the
// end of the file).
Result<std::size_t> read_some(int fd, std::uint8_t* into, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, into, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(Error::from_errno(errno));
  }
}

}  // namespace

struct RunReader::State {
  // Constant after construction.
  std::filesystem::path path;

  int fd = -1;  // owned

  // Both buffers are allocated at the first block, so that opening many runs for a merge
  // costs nothing until each is read.
  std::unique_ptr<std::uint8_t[]> compressed;  // kCompressedRoom bytes
  std::unique_ptr<std::uint8_t[]> block;       // kBlockSize bytes
  std::size_t block_len = 0;                   // decompressed bytes in `block`
  std::size_t pos = 0;                         // next unread byte of `block`; <= block_len
  // Bytes of `compressed` read past the current block: the start of the next header.
  std::size_t ahead_start = 0;
  std::size_t ahead_end = 0;  // ahead_end - ahead_start <= kHeaderSize

  std::uint64_t records_left = 0;
  std::uint64_t bytes_left = 0;  // stream bytes not yet consumed, by the descriptor

  explicit State(const Run& run)
      : path(run.path), records_left(run.records), bytes_left(run.stream_len) {}

  State(const State&) = delete;
  State& operator=(const State&) = delete;

  ~State() {
    if (fd >= 0) ::close(fd);
  }

  Result<std::size_t> unread() {
    if (pos < block_len) return block_len - pos;

    std::uint8_t header[kHeaderSize];
    std::size_t have = ahead_end - ahead_start;
    if (have > 0) std::memcpy(header, compressed.get() + ahead_start, have);
    ahead_start = ahead_end = 0;
    while (have < kHeaderSize) {
      const Result<std::size_t> n = read_some(fd, header + have, kHeaderSize - have);
      if (!n) return fail(n.error());
      if (*n == 0) return fail(Error::io(ErrorKind::kUnexpectedEof));
      have += *n;
    }

    const std::uint32_t c = load_le32(header);
    const std::uint32_t u = load_le32(header + 4);
    // Checked before anything else is read or allocated: these lengths come from the
    // file, and everything below trusts them to fit the buffers.
    if (c == 0 || u == 0 || u > kBlockSize || c > max_compressed(u)) {
      return fail(impossible_length());
    }

    if (!compressed) {
      compressed = std::make_unique<std::uint8_t[]>(kCompressedRoom);
      block = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
    }

    // Ask for the next header along with this block's data; at the end of the file the
    // read simply returns less.
    const std::size_t want = c + kHeaderSize;
    std::size_t got = 0;
    while (got < c) {
      const Result<std::size_t> n = read_some(fd, compressed.get() + got, want - got);
      if (!n) return fail(n.error());
      if (*n == 0) return fail(Error::io(ErrorKind::kUnexpectedEof));
      got += *n;
    }
    ahead_start = c;
    ahead_end = got;

    // The decoder is told the exact room, so it cannot write past `block`; producing
    // anything but U bytes means the block is damaged. `block` holds only what the decoder
    // wrote, and nothing of it is handed out unless all U bytes came.
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(compressed.get()),
                                      reinterpret_cast<char*>(block.get()), static_cast<int>(c),
                                      static_cast<int>(u));
    pos = 0;
    if (n < 0 || static_cast<std::uint32_t>(n) != u) {
      block_len = 0;
      return fail(bad_block());
    }
    block_len = u;
    return block_len;
  }

  // Copies `size` stream bytes into `out`, block by block.
  Result<void> take(std::uint8_t* out, std::size_t size) {
    while (size > 0) {
      const Result<std::size_t> avail = unread();
      if (!avail) return fail(avail.error());
      const std::size_t n = std::min(*avail, size);
      std::memcpy(out, block.get() + pos, n);
      pos += n;
      out += n;
      size -= n;
    }
    return {};
  }

  Result<void> read_field(Bytes& out) {
    std::uint8_t len_bytes[4];
    if (block_len - pos >= 4) {
      std::memcpy(len_bytes, block.get() + pos, 4);
      pos += 4;
    } else if (Result<void> r = take(len_bytes, 4); !r) {
      return r;
    }
    const std::uint32_t len = load_le32(len_bytes);
    bytes_left = bytes_left >= 4 ? bytes_left - 4 : 0;
    if (len > bytes_left) return fail(field_too_long());

    if (block_len - pos >= len) {
      out.assign(block.get() + pos, block.get() + pos + len);
      pos += len;
    } else {
      // The field spans blocks. Grow `out` only as bytes arrive: the length has passed
      // the descriptor's check, but a descriptor can be wrong, and then only the file's
      // own contents may bound what is allocated.
      out.clear();
      std::size_t remaining = len;
      while (remaining > 0) {
        const Result<std::size_t> avail = unread();
        if (!avail) return fail(avail.error());
        const std::size_t n = std::min(*avail, remaining);
        out.insert(out.end(), block.get() + pos, block.get() + pos + n);
        pos += n;
        remaining -= n;
      }
    }
    bytes_left -= len;
    return {};
  }
};

Result<RunReader> RunReader::open(const Run& run) {
  auto state = std::make_unique<State>(run);
  do {
    state->fd = ::open(state->path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (state->fd < 0 && errno == EINTR);
  if (state->fd < 0) return fail(path_error(state->path, errno));
  return RunReader(std::move(state));
}

RunReader::RunReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
RunReader::RunReader(RunReader&&) noexcept = default;
RunReader& RunReader::operator=(RunReader&&) noexcept = default;
RunReader::~RunReader() = default;

Result<std::size_t> RunReader::unread() { return state_->unread(); }

Result<void> RunReader::read_field(Bytes& out) { return state_->read_field(out); }

const std::filesystem::path& RunReader::path() const { return state_->path; }

std::uint64_t RunReader::records_left() const { return state_->records_left; }

void RunReader::record_read() {
  assert(state_->records_left > 0);
  --state_->records_left;
}

}  // namespace lodestack::run
