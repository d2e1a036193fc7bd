// Feeds arbitrary files, with arbitrary descriptors, to RunReader.
//
// Input: records (u32 little-endian), stream_len (u64 little-endian), then the file's
// bytes. The driver reads key and payload fields until an error or until the descriptor's
// records are read, as the merge does, and checks what the reader promises whatever the
// file holds: no crash, no read past the descriptor's stream, and no field buffer larger
// than what the file can decompress to.
//
// `run_reader_fuzz --write-seeds=DIR` writes seed inputs made by RunWriter and exits.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "seed_flag.h"
#include "run/reader.h"
#include "run/writer.h"
#include "sorter/pool.h"

namespace {

using lodestack::Bytes;
using lodestack::run::kBlockSize;
using lodestack::run::Run;
using lodestack::run::RunReader;
using lodestack::run::RunWriter;

constexpr std::size_t kDescriptorSize = 12;
// LZ4 cannot expand data by more than this factor, so it bounds what a file decodes to.
constexpr std::uint64_t kMaxRatio = 256;

std::filesystem::path g_path;

void remove_scratch() { std::filesystem::remove(g_path); }

std::uint64_t load_le(const std::uint8_t* p, int n) {
  std::uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void append_le(Bytes& out, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "run_reader_fuzz: %s\n", what);
  std::abort();
}

// Writes one seed: a real run's descriptor followed by its file.
void write_seed(const std::filesystem::path& dir, int index, std::size_t pool_threads,
                const std::vector<std::pair<Bytes, Bytes>>& records) {
  const std::filesystem::path run_path = dir / ("run-" + std::to_string(index));
  std::shared_ptr<lodestack::sorter::Pool> pool;
  if (pool_threads > 0) pool = lodestack::sorter::Pool::start(pool_threads).value();
  RunWriter writer = RunWriter::create(run_path, pool).value();
  for (const auto& [key, payload] : records) {
    if (!writer.push(key, payload)) die("cannot write a seed run");
  }
  const Run run = std::move(writer).finish().value();
  Bytes seed;
  append_le(seed, run.records, 4);
  append_le(seed, run.stream_len, 8);
  const std::uintmax_t size = std::filesystem::file_size(run_path);
  const std::size_t at = seed.size();
  seed.resize(at + size);
  std::FILE* in = std::fopen(run_path.c_str(), "rb");
  if (in == nullptr || std::fread(seed.data() + at, 1, size, in) != size)
    die("cannot read a seed run");
  std::fclose(in);
  std::filesystem::remove(run_path);
  std::FILE* out = std::fopen((dir / ("seed-" + std::to_string(index))).c_str(), "wb");
  if (out == nullptr || std::fwrite(seed.data(), 1, seed.size(), out) != seed.size()) {
    die("cannot write a seed");
  }
  std::fclose(out);
}

void write_seeds(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  std::vector<std::pair<Bytes, Bytes>> records;
  write_seed(dir, 0, 0, {{{0x6B}, {0x76}}});
  write_seed(dir, 1, 0, {{{}, {}}, {{}, {1}}, {{2}, {}}});
  for (int i = 0; i < 200; ++i) {
    records.push_back({Bytes{static_cast<std::uint8_t>(i), 7}, Bytes(i % 50, 'a' + i % 26)});
  }
  write_seed(dir, 2, 0, records);
  // Two compressible blocks with the second record's key length split between them.
  records = {{{}, Bytes(131062, 'x')}, {Bytes(5, 'k'), Bytes(300, 'p')}};
  write_seed(dir, 3, 0, records);
  records.clear();
  for (int i = 0; i < 4000; ++i) {
    records.push_back({Bytes{static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
                       Bytes(i % 90, static_cast<std::uint8_t>(i))});
  }
  write_seed(dir, 4, 2, records);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  write_seeds_if_asked(*argc, *argv, write_seeds);
  // A file in memory when there is a tmpfs for it: the target rewrites it for every input.
  std::error_code ec;
  const std::filesystem::path where = std::filesystem::is_directory("/dev/shm", ec)
                                          ? std::filesystem::path("/dev/shm")
                                          : std::filesystem::temp_directory_path();
  std::string tmpl = (where / "run_reader_fuzz-XXXXXX").string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) die("cannot make a scratch file");
  ::close(fd);
  g_path = tmpl;
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kDescriptorSize) return -1;
  const Run run = {g_path, load_le(data, 4), load_le(data + 4, 8)};
  const std::uint8_t* const file = data + kDescriptorSize;
  const std::size_t file_size = size - kDescriptorSize;

  const int fd = ::open(g_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0 || ::write(fd, file, file_size) != static_cast<ssize_t>(file_size)) {
    die("cannot write the scratch file");
  }
  ::close(fd);

  RunReader reader = RunReader::open(run).value();
  const std::uint64_t most_decoded = file_size * kMaxRatio;
  std::uint64_t field_bytes = 0;
  Bytes key;
  Bytes payload;
  while (reader.records_left() > 0) {
    if (!reader.read_field(key) || !reader.read_field(payload)) break;
    reader.record_read();
    field_bytes += key.size() + payload.size();
    if (field_bytes > run.stream_len) die("fields ran past the descriptor's stream");
    if (field_bytes > most_decoded) die("fields hold more than the file can decode to");
  }
  for (const Bytes* b : {&key, &payload}) {
    if (b->capacity() > 2 * most_decoded + kBlockSize) die("a field buffer outgrew the file");
  }
  return 0;
}
