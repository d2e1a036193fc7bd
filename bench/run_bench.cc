// How fast runs are written and read, against LZ4 itself on the same bytes.
//
//   run_bench [MiB] [repeats]     (default 512 MiB of record stream, 3 repeats)
//
// The stream is 100-byte records: a random 10-byte key and an 82-byte payload that
// compresses about as well as typical pickled records. Contenders, each timed over the
// whole stream and interleaved so that a busy neighbour slows all of them alike:
//   - raw LZ4: LZ4_compress_default / LZ4_decompress_safe over the stream's 128 KiB blocks,
//     one thread, no I/O: the ceiling for the writer and the reader;
//   - RunWriter without a pool and with a pool of 2, pushing every record to a file under
//     /tmp, finish (and its close) included;
//   - RunReader reading every key and payload back out of the first writer's file.
// The table shows each contender's best repeat in MB/s of stream, with the CPU time the
// calling thread spent (for the pooled writer, the part that does not run in parallel),
// then the ratios that the run code is held to, from wall-clock times. The run fails only
// if a run does not read back as written.
#include <lz4.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "run/format.h"
#include "run/reader.h"
#include "run/writer.h"
#include "sorter/pool.h"

namespace {

using lodestack::Bytes;
using lodestack::ByteView;
using lodestack::run::kBlockSize;
using lodestack::run::Run;
using lodestack::run::RunReader;
using lodestack::run::RunWriter;
using lodestack::sorter::Pool;

constexpr std::size_t kRecordLen = 100;
constexpr std::size_t kKeyLen = 10;
constexpr std::size_t kPayloadLen = kRecordLen - kKeyLen - 8;

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The record stream, in run format, of `n` records.
Bytes make_stream(std::size_t n) {
  static constexpr char kTemplate[] =
      "{'id': 0000000, 'name': 'user-0000', 'city': 'Lisbon', 'score': 00.0, 'ok': False}";
  static_assert(sizeof kTemplate - 1 >= kPayloadLen);
  Bytes stream(n * kRecordLen);
  std::uint64_t state = 42;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t* p = stream.data() + i * kRecordLen;
    put_le32(p, kKeyLen);
    const std::uint64_t a = splitmix(state);
    const std::uint64_t b = splitmix(state);
    std::memcpy(p + 4, &a, 8);
    std::memcpy(p + 12, &b, 2);
    put_le32(p + 4 + kKeyLen, kPayloadLen);
    std::uint8_t* payload = p + 8 + kKeyLen;
    std::memcpy(payload, kTemplate, kPayloadLen);
    std::uint64_t digits = b >> 16;
    for (const std::size_t at : {7, 8, 9, 10, 11, 12, 13, 30, 31, 32, 33, 64, 65, 67}) {
      payload[at] = static_cast<std::uint8_t>('0' + digits % 10);
      digits /= 10;
    }
  }
  return stream;
}

double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall-clock and calling-thread CPU seconds since construction.
class Timer {
 public:
  double wall() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
  }
  double cpu() const { return thread_cpu_seconds() - cpu_; }

 private:
  std::chrono::steady_clock::time_point wall_ = std::chrono::steady_clock::now();
  double cpu_ = thread_cpu_seconds();
};

struct Best {
  double wall = 1e300;
  double cpu = 1e300;
  void add(const Timer& t) {
    const double w = t.wall();
    const double c = t.cpu();
    if (w < wall) {
      wall = w;
      cpu = c;
    }
  }
};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "run_bench: %s\n", what.c_str());
  std::exit(1);
}

struct Compressed {
  std::vector<Bytes> blocks;
  std::size_t total = 0;
};

Compressed raw_compress(const Bytes& stream) {
  Compressed out;
  Bytes scratch(static_cast<std::size_t>(LZ4_compressBound(kBlockSize)));
  for (std::size_t at = 0; at < stream.size(); at += kBlockSize) {
    const int n = static_cast<int>(std::min(kBlockSize, stream.size() - at));
    const int c = LZ4_compress_default(reinterpret_cast<const char*>(stream.data() + at),
                                       reinterpret_cast<char*>(scratch.data()), n,
                                       static_cast<int>(scratch.size()));
    if (c <= 0) die("LZ4 failed");
    out.blocks.emplace_back(scratch.begin(), scratch.begin() + c);
    out.total += static_cast<std::size_t>(c);
  }
  return out;
}

std::size_t raw_decompress(const Compressed& in) {
  Bytes block(kBlockSize);
  std::size_t total = 0;
  for (const Bytes& b : in.blocks) {
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(b.data()),
                                      reinterpret_cast<char*>(block.data()),
                                      static_cast<int>(b.size()), kBlockSize);
    if (n <= 0) die("LZ4 failed to decompress");
    total += static_cast<std::size_t>(n);
  }
  return total;
}

Run write_run(const Bytes& stream, const std::filesystem::path& path,
              std::shared_ptr<Pool> pool) {
  std::filesystem::remove(path);
  auto writer = RunWriter::create(path, std::move(pool));
  if (!writer) die(writer.error().text());
  for (std::size_t at = 0; at < stream.size(); at += kRecordLen) {
    const std::uint8_t* p = stream.data() + at;
    if (auto r = writer->push(ByteView(p + 4, kKeyLen), ByteView(p + 8 + kKeyLen, kPayloadLen));
        !r) {
      die(r.error().text());
    }
  }
  auto run = std::move(*writer).finish();
  if (!run) die(run.error().text());
  return *run;
}

// Reads every field out, as a merge does; with `check`, compares each with the stream.
void read_run(const Run& run, const Bytes& stream, bool check) {
  auto reader = RunReader::open(run);
  if (!reader) die(reader.error().text());
  Bytes key;
  Bytes payload;
  for (std::size_t at = 0; reader->records_left() > 0; at += kRecordLen) {
    if (auto r = reader->read_field(key); !r) die(r.error().text());
    if (auto r = reader->read_field(payload); !r) die(r.error().text());
    reader->record_read();
    if (check && (key.size() != kKeyLen || payload.size() != kPayloadLen ||
                  std::memcmp(key.data(), &stream[at + 4], kKeyLen) != 0 ||
                  std::memcmp(payload.data(), &stream[at + 8 + kKeyLen], kPayloadLen) != 0)) {
      die("the run does not read back as written");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::size_t records = (mib << 20) / kRecordLen;
  const Bytes stream = make_stream(records);
  auto pool = Pool::start(2);
  if (!pool) die(pool.error().text());

  std::string tmpl = "/tmp/lodestack-run-bench-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) die("cannot make a directory under /tmp");
  const std::filesystem::path dir = tmpl;

  enum { kCompress, kDecompress, kWriter, kWriterPool, kReader, kCount };
  Best best[kCount];
  std::size_t compressed_size = 0;
  std::uintmax_t file_size = 0;
  for (int r = 0; r < repeats; ++r) {
    Timer timer;
    const Compressed compressed = raw_compress(stream);
    best[kCompress].add(timer);
    compressed_size = compressed.total;

    timer = Timer();
    if (raw_decompress(compressed) != stream.size()) die("LZ4 lost bytes");
    best[kDecompress].add(timer);

    timer = Timer();
    const Run run = write_run(stream, dir / "alone", nullptr);
    best[kWriter].add(timer);
    file_size = std::filesystem::file_size(run.path);

    timer = Timer();
    const Run pooled = write_run(stream, dir / "pooled", *pool);
    best[kWriterPool].add(timer);
    if (std::filesystem::file_size(pooled.path) != file_size) die("the two writers disagree");
    std::filesystem::remove(pooled.path);

    if (r == 0) read_run(run, stream, true);
    timer = Timer();
    read_run(run, stream, false);
    best[kReader].add(timer);
  }
  std::filesystem::remove_all(dir);

  const double mb = static_cast<double>(stream.size()) / 1e6;
  std::printf(
      "%zu records of %zu bytes (%.0f MB of stream), LZ4 ratio %.2f (run file %.2f), "
      "best of %d\n",
      records, kRecordLen, mb, static_cast<double>(stream.size()) / compressed_size,
      static_cast<double>(stream.size()) / static_cast<double>(file_size), repeats);
  std::printf("%-34s %10s %12s %12s\n", "contender", "seconds", "MB/s stream", "thread CPU s");
  const char* const names[kCount] = {"raw LZ4 compress, 1 thread",
                                     "raw LZ4 decompress, 1 thread", "RunWriter, no pool",
                                     "RunWriter, pool of 2", "RunReader, every field copied"};
  for (int i = 0; i < kCount; ++i) {
    std::printf("%-34s %10.3f %12.0f %12.3f\n", names[i], best[i].wall, mb / best[i].wall,
                best[i].cpu);
  }
  const auto ratio = [](const char* what, double value, double target) {
    std::printf("%-40s %6.2f  (target >= %.2f: %s)\n", what, value, target,
                value >= target ? "met" : "MISSED");
  };
  ratio("writer, no pool / raw compress", best[kCompress].wall / best[kWriter].wall, 0.75);
  ratio("writer, pool of 2 / writer, no pool", best[kWriter].wall / best[kWriterPool].wall,
        1.6);
  ratio("reader / raw decompress", best[kDecompress].wall / best[kReader].wall, 0.40);
  return 0;
}
