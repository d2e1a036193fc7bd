// Tests of the run writer and reader: the exact bytes written, round trips at every block
// edge, and every way a damaged or misdescribed run is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "run/reader.h"
#include "run/writer.h"
#include "sorter/pool.h"
#include "testing/helpers.h"

namespace lodestack::run {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSeed = 20240611;

struct Record {
  Bytes key;
  Bytes payload;
  bool operator==(const Record&) const = default;
};

Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes out(n);
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

void append_le32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes stream_of(const std::vector<Record>& records) {
  Bytes out;
  for (const Record& r : records) {
    append_le32(out, static_cast<std::uint32_t>(r.key.size()));
    out.insert(out.end(), r.key.begin(), r.key.end());
    append_le32(out, static_cast<std::uint32_t>(r.payload.size()));
    out.insert(out.end(), r.payload.begin(), r.payload.end());
  }
  return out;
}

Bytes header(std::uint32_t c, std::uint32_t u) {
  Bytes out;
  append_le32(out, c);
  append_le32(out, u);
  return out;
}

Bytes lz4(ByteView data) {
  Bytes out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(data.size()))));
  const int c = LZ4_compress_default(
      reinterpret_cast<const char*>(data.data()), reinterpret_cast<char*>(out.data()),
      static_cast<int>(data.size()), static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(c));
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes with_header(ByteView stream, std::uint32_t c, std::uint32_t u) {
  return cat({header(c, u), lz4(stream)});
}

// A well-formed block holding `stream`.
Bytes block_of(ByteView stream) {
  return with_header(stream, static_cast<std::uint32_t>(lz4(stream).size()),
                     static_cast<std::uint32_t>(stream.size()));
}

// The descriptor this process holds on `path`, or -1.
int fd_of(const fs::path& path) {
  for (const fs::directory_entry& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec) == path) return std::stoi(e.path().filename());
  }
  return -1;
}

class RunTest : public testing_helpers::TmpDirTest {
 protected:
  fs::path path(const std::string& name = "run") const { return tmp_ / name; }

  static std::shared_ptr<sorter::Pool> pool(std::size_t threads) {
    if (threads == 0) return nullptr;
    return sorter::Pool::start(threads).value();
  }

  run::Run write_run(const std::vector<Record>& records,
                     std::shared_ptr<sorter::Pool> p = nullptr) {
    RunWriter w = RunWriter::create(path(), std::move(p)).value();
    for (const Record& r : records) EXPECT_TRUE(w.push(r.key, r.payload));
    return std::move(w).finish().value();
  }

  // Reads the descriptor's records as the merge does: key, then payload.
  static Result<std::vector<Record>> read_run(const run::Run& run) {
    Result<RunReader> r = RunReader::open(run);
    if (!r) return fail(r.error());
    std::vector<Record> out;
    while (r->records_left() > 0) {
      Record rec;
      if (Result<void> k = r->read_field(rec.key); !k) return fail(k.error());
      if (Result<void> p = r->read_field(rec.payload); !p) return fail(p.error());
      r->record_read();
      out.push_back(std::move(rec));
    }
    return out;
  }

  run::Run put_file(const Bytes& bytes, std::uint64_t records, std::uint64_t stream_len) const {
    std::ofstream(path(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return run::Run{path(), records, stream_len};
  }

  static Bytes file_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  // The run's blocks, decoded independently of RunReader.
  struct Layout {
    std::vector<std::uint32_t> us;
    std::vector<std::size_t> sizes;  // on disk, header included
    Bytes stream;
  };
  static Layout layout(const fs::path& p) {
    const Bytes file = file_bytes(p);
    Layout out;
    for (std::size_t at = 0; at < file.size();) {
      std::uint32_t c, u;
      std::memcpy(&c, &file[at], 4);
      std::memcpy(&u, &file[at + 4], 4);
      EXPECT_LE(c, max_compressed(u));
      const std::size_t old = out.stream.size();
      out.stream.resize(old + u);
      const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(&file[at + 8]),
                                        reinterpret_cast<char*>(&out.stream[old]),
                                        static_cast<int>(c), static_cast<int>(u));
      EXPECT_EQ(n, static_cast<int>(u));
      out.us.push_back(u);
      out.sizes.push_back(8 + c);
      at += 8 + c;
    }
    return out;
  }
};

// ---- the writer -------------------------------------------------------------------------

TEST_F(RunTest, OneTinyRecordIsTheNineteenBytesOfTheFormat) {
  const run::Run run = write_run({{{0x6B}, {0x76}}});
  EXPECT_EQ(run.path, path());
  EXPECT_EQ(run.records, 1u);
  EXPECT_EQ(run.stream_len, 10u);
  EXPECT_EQ(run.file_len, 19u);
  EXPECT_EQ(file_bytes(path()), (Bytes{0x0B, 0, 0, 0, 0x0A, 0, 0, 0, 0xA0, 0x01, 0, 0, 0, 0x6B,
                                       0x01, 0, 0, 0, 0x76}));
  EXPECT_EQ(read_run(run).value(), (std::vector<Record>{{{0x6B}, {0x76}}}));
}

// Record shapes that put a boundary somewhere awkward, each with the blocks it must make.
struct EdgeCase {
  const char* name;
  std::vector<Record> (*records)(std::mt19937_64&);
  std::vector<std::uint32_t> us;
};

void PrintTo(const EdgeCase& edge, std::ostream* os) { *os << edge.name; }

using Rng = std::mt19937_64;
const EdgeCase kEdgeCases[] = {
    {"Empty", [](Rng&) { return std::vector<Record>{}; }, {}},
    {"EmptyKeyAndPayload", [](Rng&) { return std::vector<Record>{{}, {}, {{1}, {}}}; }, {25}},
    // 8 + 131,062 bytes leave 2 bytes of the first block for the next key length.
    {"SplitLengthField",
     [](Rng& rng) {
       return std::vector<Record>{{{}, random_bytes(rng, 131062)},
                                  {random_bytes(rng, 5), random_bytes(rng, 7)}};
     },
     {131072, 18}},
    {"KeyOfOneBlock",
     [](Rng& rng) { return std::vector<Record>{{random_bytes(rng, kBlockSize), {9}}, {{1}, {2}}}; },
     {131072, 19}},
    {"StreamOfOneBlock",
     [](Rng& rng) {
       return std::vector<Record>{{random_bytes(rng, 10), random_bytes(rng, kBlockSize - 18)}};
     },
     {131072}},
    {"OneBytePastABlock",
     [](Rng& rng) {
       return std::vector<Record>{{random_bytes(rng, 10), random_bytes(rng, kBlockSize - 17)}};
     },
     {131072, 1}},
    {"RecordOfThreeBlocks",
     [](Rng& rng) { return std::vector<Record>{{{0x6B}, random_bytes(rng, 300000)}}; },
     {131072, 131072, 37865}},
};

class RunEdgeTest : public RunTest,
                    public testing::WithParamInterface<std::tuple<EdgeCase, std::size_t>> {};

TEST_P(RunEdgeTest, RoundTripsWithBlocksCutBySizeAlone) {
  const auto& [edge, threads] = GetParam();
  std::mt19937_64 rng(kSeed);
  const std::vector<Record> records = edge.records(rng);
  const run::Run run = write_run(records, pool(threads));
  const Bytes stream = stream_of(records);
  EXPECT_EQ(run.records, records.size());
  EXPECT_EQ(run.stream_len, stream.size());
  const Layout l = layout(path());
  EXPECT_EQ(l.us, edge.us);
  EXPECT_EQ(l.stream, stream);
  EXPECT_EQ(read_run(run).value(), records);
}

INSTANTIATE_TEST_SUITE_P(Edges, RunEdgeTest,
                         testing::Combine(testing::ValuesIn(kEdgeCases),
                                          testing::Values(std::size_t{0}, std::size_t{2})),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "WithPool" : "WithoutPool");
                         });

class RunSlotsTest : public RunTest,
                     public testing::WithParamInterface<std::pair<std::size_t, std::size_t>> {};

TEST_P(RunSlotsTest, SlotsFollowThePoolAndRandomRecordsRoundTrip) {
  const auto [threads, slots] = GetParam();
  std::mt19937_64 rng(kSeed + threads);
  std::vector<Record> records;
  // Mostly small records with a few that span blocks, about 28 blocks in all.
  for (int i = 0; i < 6000; ++i) {
    const auto fill = static_cast<std::uint8_t>(i);  // compressible, as payloads often are
    Bytes key = random_bytes(rng, rng() % 24);
    records.push_back({key, Bytes(i % 997 == 0 ? 200000 : rng() % 300, fill)});
  }
  Result<RunWriter> w = RunWriter::create(path(), pool(threads));
  ASSERT_TRUE(w);
  EXPECT_EQ(w->slots(), slots);
  for (const Record& r : records) ASSERT_TRUE(w->push(r.key, r.payload));
  EXPECT_EQ(w->records(), records.size());
  const run::Run run = std::move(*w).finish().value();

  const Layout l = layout(path());
  const Bytes stream = stream_of(records);
  ASSERT_GT(l.us.size(), 16u);
  for (std::size_t i = 0; i + 1 < l.us.size(); ++i) EXPECT_EQ(l.us[i], kBlockSize) << i;
  EXPECT_EQ(l.us.back(), stream.size() - (l.us.size() - 1) * kBlockSize);
  EXPECT_EQ(l.stream, stream);
  EXPECT_EQ(run.file_len, fs::file_size(path()));
  EXPECT_EQ(read_run(run).value(), records);
}

INSTANTIATE_TEST_SUITE_P(Pools, RunSlotsTest,
                         testing::Values(std::pair{0, 1}, std::pair{1, 2}, std::pair{2, 4},
                                         std::pair{9, 16}));

// A pool of 4 gives two sets of four slots: the first set is compressed while the second
// fills, and written by the push that fills the second.
TEST_F(RunTest, FullSetIsWrittenByThePushThatFillsTheOther) {
  std::mt19937_64 rng(kSeed);
  Result<RunWriter> w = RunWriter::create(path(), pool(4));
  ASSERT_EQ(w->slots(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(fs::file_size(path()), 0u) << "written before the batch was full, push " << i;
    const Bytes key = random_bytes(rng, 10);
    ASSERT_TRUE(w->push(key, random_bytes(rng, kBlockSize - 18)));
  }
  const std::uintmax_t after_push = fs::file_size(path());
  const run::Run run = std::move(*w).finish().value();
  const Layout l = layout(path());
  EXPECT_EQ(l.us, std::vector<std::uint32_t>(8, kBlockSize));
  EXPECT_EQ(after_push, l.sizes[0] + l.sizes[1] + l.sizes[2] + l.sizes[3]);
  EXPECT_EQ(run.stream_len, 8 * kBlockSize);
}

TEST_F(RunTest, OneSlotWritesBlocksDuringThePush) {
  std::mt19937_64 rng(kSeed);
  const Bytes payload = random_bytes(rng, 40 * kBlockSize);
  Result<RunWriter> w = RunWriter::create(path(), nullptr);
  ASSERT_EQ(w->slots(), 1u);
  ASSERT_TRUE(w->push(Bytes{1}, payload));
  // Every block the push filled is on disk; random bytes do not compress.
  EXPECT_GE(fs::file_size(path()), 40 * kBlockSize);
  ASSERT_TRUE(std::move(*w).finish());
  EXPECT_EQ(layout(path()).us.size(), 41u);
}

// A run file is never opened over an existing one.
TEST_F(RunTest, ExistingFileIsRefusedAndKept) {
  std::ofstream(path()) << "kept";
  Result<RunWriter> exists = RunWriter::create(path(), nullptr);
  EXPECT_EQ(exists.error().kind(), ErrorKind::kAlreadyExists);
  EXPECT_EQ(exists.error().text(), path().string() + ": File exists (os error 17)");
  EXPECT_EQ(file_bytes(path()), (Bytes{'k', 'e', 'p', 't'}));
}

TEST_F(RunTest, FileIsPrivateAndClosedOnExecAndOnDrop) {
  const mode_t old_mask = ::umask(0);
  std::optional<RunWriter> w(RunWriter::create(path(), nullptr).value());
  ::umask(old_mask);
  struct stat st;
  ASSERT_EQ(::stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const int fd = fd_of(path());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  ASSERT_TRUE(w->push(Bytes{1}, Bytes{2}));
  w.reset();  // dropped without finish: closed, left in place
  EXPECT_EQ(fd_of(path()), -1);
  EXPECT_TRUE(fs::exists(path()));
}

// ---- the reader -------------------------------------------------------------------------

// A damaged or misdescribed run, and how far reading it gets. Lengths are checked before
// they are acted on: a header refused with no data behind it shows the data was not
// looked for, and no refused length may grow the field beyond what the file holds.
struct Damage {
  const char* name;
  Bytes file;
  std::uint64_t records;
  std::uint64_t stream_len;
  std::string text;
  std::size_t good_records;  // records read back before the failure
};

const Bytes kTen = stream_of({{{0x6B}, {0x76}}});
const Bytes kTwoRecords = stream_of({{{1, 2}, {3}}, {{4}, {5, 6, 7, 8, 9, 10, 11}}});
const std::string kImpossible = "a block has an impossible length";
const std::string kNotItsLength = "a block does not decompress to its length";
const std::string kTooLong = "a record is longer than the rest of the run";
const std::string kEof = "unexpected end of file";

std::vector<Damage> damages() {
  const Bytes good = block_of(kTwoRecords);
  const auto c = static_cast<std::uint32_t>(good.size() - 8);
  Bytes long_payload = kTen;
  long_payload[5] = 3;  // the payload claims 3 bytes of the 2 left
  // With a descriptor claiming far more than the file holds, a wild length passes the
  // stream check: the field may then grow only with bytes that really arrive.
  Bytes wild = {0xF0, 0xFF, 0xFF, 0xFF};
  wild.resize(kBlockSize, 0x61);
  return {
      {"CompressedZero", cat({header(0, 10), lz4(kTen)}), 1, 10, kImpossible, 0},
      {"UncompressedZero", with_header(kTen, 11, 0), 1, 10, kImpossible, 0},
      {"UncompressedPastABlock", header(11, kBlockSize + 1), 1, 10, kImpossible, 0},
      {"CompressedPastItsLimit", cat({header(32, 10), Bytes(40, 0)}), 1, 10, kImpossible, 0},
      {"DecodesShort", with_header(kTwoRecords, c, 28), 2, 27, kNotItsLength, 0},
      {"DecodesLong", with_header(kTwoRecords, c, 26), 2, 27, kNotItsLength, 0},
      {"MalformedLz4", cat({header(2, 10), {0xF0, 0xFF}}), 1, 10, kNotItsLength, 0},
      {"AllOnesKeyLength", block_of(cat({{0xFF, 0xFF, 0xFF, 0xFF}, kTen})), 1, 14, kTooLong, 0},
      {"PayloadPastTheRun", block_of(long_payload), 1, 10, kTooLong, 0},
      {"StreamShorterThanDescribed", good, 2, 26, kTooLong, 1},
      {"WildLengthInALyingDescriptor", block_of(wild), 1, UINT64_MAX, kEof, 0},
      {"TruncatedHeader", Bytes(good.begin(), good.begin() + 5), 2, 27, kEof, 0},
      {"TruncatedBody", Bytes(good.begin(), good.end() - 1), 2, 27, kEof, 0},
      {"MoreRecordsThanTheFile", good, 3, 37, kEof, 2},
      {"HeaderCutAfterABlock", cat({good, {5, 0, 0}}), 3, 37, kEof, 2},
      {"BodyMissingAfterABlock", cat({good, header(5, 10)}), 3, 37, kEof, 2},
      {"EmptyFileWithRecords", {}, 1, 10, kEof, 0},
  };
}

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

class RunDamageTest : public RunTest, public testing::WithParamInterface<Damage> {};

TEST_P(RunDamageTest, IsRefusedWithItsKindAndMessage) {
  const Damage& d = GetParam();
  RunReader r = RunReader::open(put_file(d.file, d.records, d.stream_len)).value();
  std::size_t good = 0;
  Bytes key;
  Bytes payload;
  Result<void> result;
  while ((result = r.read_field(key)) && (result = r.read_field(payload))) {
    ++good;
    r.record_read();
  }
  EXPECT_EQ(good, d.good_records);
  EXPECT_EQ(result.error().kind(),
            d.text == kEof ? ErrorKind::kUnexpectedEof : ErrorKind::kInvalidData);
  EXPECT_EQ(result.error().text(), d.text);
  EXPECT_LE(key.capacity(), 2 * kBlockSize);
  EXPECT_LE(payload.capacity(), 2 * kBlockSize);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunDamageTest, testing::ValuesIn(damages()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lodestack::run
