#include <fcntl.h>
#include <lz4.h>
#include <sys/stat.h>

#include <cstring>

#include "merge/merged.h"
#include "run/writer.h"
#include "testing/helpers.h"

namespace lodestack::run {
namespace {

using namespace testing_helpers;

std::string le32(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string lz4(const std::string& data) {
  std::string out(LZ4_compressBound(data.size()), '\0');
  out.resize(LZ4_compress_default(data.data(), out.data(), data.size(), out.size()));
  return out;
}

std::string stream_of(const std::vector<Item>& items) {
  std::string out;
  for (const Item& i : items)
    out += le32(i.key.size()) + i.key + le32(i.payload.size()) + i.payload;
  return out;
}

std::string file_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Read {  // a run as the merge reads it: its records, and how the reading ended
  std::vector<Item> records;
  Result<bool> end;
  std::size_t capacity;  // of the larger buffer a field was read into
};

Read read_run(const run::Run& run) {
  merge::Source source = merge::Source::run(RunReader::open(run).value());
  Read out;
  Bytes key, payload;
  while ((out.end = source.read_into(key, payload)) && *out.end)
    out.records.push_back({text(key), text(payload)});
  out.capacity = std::max(key.capacity(), payload.capacity());
  return out;
}

using RunTest = TmpDirTest;

// Random records, the first of which ends `cut` bytes before the first block does so that
// the next one's length, key or payload crosses into the second; blocks and records read
// back, with or without a pool, one tiny record and no records at all byte for byte.
TEST_F(RunTest, RecordsRoundTripWithBlocksCutAnywhere) {
  std::mt19937_64 rng = seeded();
  for (const auto& [threads, slots] :
       {std::pair<std::size_t, std::size_t>{0, 1}, {1, 2}, {2, 4}, {9, 16}}) {
    const auto pool = threads == 0 ? nullptr : sorter::Pool::start(threads).value();
    for (std::size_t cut = 0; cut < 14; ++cut) {
      std::vector<Item> records = {{"", random_bytes(rng, kBlockSize - 8 - cut)}};
      for (std::size_t i = 0; i < (cut == 0 ? 6000 : 3); ++i) {
        records.push_back(
            {random_bytes(rng, rng() % 24), std::string(i % 997 ? rng() % 300 : 200000, i)});
      }
      if (cut >= 12) records.assign(cut - 12, {"k", "v"});  // no records, one tiny record
      RunWriter writer =
          RunWriter::create(tmp_ / std::format("{}-{}", threads, cut), pool).value();
      EXPECT_EQ(writer.slots(), slots);
      for (const Item& r : records) ASSERT_TRUE(writer.push(view(r.key), view(r.payload)));
      const run::Run run = std::move(writer).finish().value();
      const std::string stream = stream_of(records), file = file_of(run.path);
      EXPECT_TRUE(run.records == records.size() && run.stream_len == stream.size() &&
                  run.file_len == file.size());
      EXPECT_TRUE(cut != 13 || file == le32(11) + le32(10) + "\xA0\1\0\0\0k\1\0\0\0v"s)
          << "its bytes";
      std::size_t at = 0;  // every block but the last holds exactly kBlockSize stream bytes
      for (std::size_t left = stream.size(); left > 0; left -= std::min(left, kBlockSize)) {
        ASSERT_EQ(file.substr(at + 4, 4), le32(std::min(left, kBlockSize)));
        std::uint32_t c;
        std::memcpy(&c, &file[at], 4);
        at += 8 + c;
      }
      EXPECT_EQ(at, file.size());
      const Read read = read_run(run);
      ASSERT_TRUE(read.end && read.records == records);
    }
  }
}

// A run file is the user's alone whatever the umask, and no descriptor on it, written or
// read, leaks into a child process or outlives its owner. It is never opened over an
// existing file.
TEST_F(RunTest, FileIsNewPrivateAndClosedOnExec) {
  const fs::path path = tmp_ / "run";
  const auto fds_on_path = [&] {
    std::vector<int> fds;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ignored;
      if (fs::read_symlink(fd.path(), ignored) == path)
        fds.push_back(std::stoi(fd.path().filename()));
    }
    return fds;
  };
  const mode_t old_mask = ::umask(0);
  std::optional<RunWriter> writer(RunWriter::create(path, nullptr).value());
  ::umask(old_mask);
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  std::optional<RunReader> reader(RunReader::open({path, 0, 0, 0}).value());
  const std::vector<int> fds = fds_on_path();
  ASSERT_EQ(fds.size(), 2u);
  for (const int fd : fds) EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);
  writer.reset();  // dropped without finish: closed, the file left for its directory's owner
  reader.reset();
  EXPECT_EQ(fds_on_path(), std::vector<int>{});
  std::ofstream(path) << "kept";
  expect_error(RunWriter::create(path, nullptr), kIo, kAlreadyExists,
               path.native() + ": File exists (os error 17)");
  EXPECT_EQ(file_of(path), "kept");
}

// A damaged or misdescribed run is refused, naming it, after the records before the damage;
// no length read from it may grow a buffer beyond what it holds.
TEST_F(RunTest, DamagedRunIsRefusedNamingIt) {
  const std::string impossible = "a block has an impossible length";
  const std::string bad_block = "a block does not decompress to its length";
  const std::string too_long = "a record is longer than the rest of the run";
  const std::string ten = stream_of({{"k", "v"}}),
                    two = stream_of({{"12", "3"}, {"4", "5678901"}});
  const auto block = [](const std::string& s) {
    return le32(lz4(s).size()) + le32(s.size()) + lz4(s);
  };
  const std::string good = block(two),
                    wild = le32(0xFFFFFFF0) + std::string(kBlockSize - 4, 'a');
  const std::tuple<std::string, std::uint64_t, std::uint64_t, std::string, std::size_t>
      cases[] = {
          // the file, the records and stream length it claims, why it fails (empty: it ends
          // early), the records read before
          {le32(0) + le32(10) + lz4(ten), 1, 10, impossible, 0},
          {le32(11) + le32(0) + lz4(ten), 1, 10, impossible, 0},
          {le32(11) + le32(kBlockSize + 1), 1, 10, impossible, 0},
          {le32(32) + le32(10) + std::string(40, '\0'), 1, 10, impossible, 0},
          {good.substr(0, 4) + le32(28) + lz4(two), 2, 27, bad_block, 0},
          {le32(2) + le32(10) + "\xF0\xFF", 1, 10, bad_block, 0},
          {block(le32(~0u) + ten), 1, 14, too_long, 0},
          {block(ten.substr(0, 5) + "\3" + ten.substr(6)), 1, 10, too_long, 0},  // 3 bytes of 2
          {good, 2, 26, too_long, 1},
          {block(wild), 1, ~0ull, "", 0},  // a wild length that a lying descriptor lets by
          {good.substr(0, 5), 2, 27, "", 0},
          {good.substr(0, good.size() - 1), 2, 27, "", 0},
          {good, 3, 37, "", 2},
          {good + "\5\0\0"s, 3, 37, "", 2},
      };
  for (const auto& [file, records, stream_len, why, good_records] : cases) {
    std::ofstream(tmp_ / "run", std::ios::binary | std::ios::trunc) << file;
    const Read read = read_run(run::Run{tmp_ / "run", records, stream_len});
    EXPECT_EQ(read.records.size(), good_records) << why;
    const std::string end =
        why.empty() ? " ended before its last record" : " is corrupt: " + why;
    expect_error(read.end, kIo, why.empty() ? kUnexpectedEof : kInvalidData,
                 (tmp_ / "run").native() + end);
    EXPECT_LE(read.capacity, 2 * kBlockSize);
  }
}

}  // namespace
}  // namespace lodestack::run
