// Lines that cross the ends of blocks and of read buffers: the command's differential tests
// read small files in one block, so the carrying is checked here, against a plain split.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lines/merge.h"
#include "lines/split.h"
#include "testing/helpers.h"

namespace lodestack::lines {
namespace {

using testing_helpers::text;
using testing_helpers::view;

// The lines of `input` as the command counts them: a last line needs no end byte.
std::vector<std::string> split_whole(const std::string& input) {
  std::vector<std::string> lines;
  std::istringstream stream(input);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST(LineBlocksTest, AnySplitIntoBlocksGivesTheLinesOfTheWhole) {
  for (unsigned seed = 0; seed < 300; ++seed) {
    std::mt19937 rng(seed);
    std::string input;
    for (std::size_t n = rng() % 12; n > 0; --n) {
      input += std::string(rng() % 4 == 0 ? rng() % 40 : rng() % 3, static_cast<char>('a' + n));
      if (n > 1 || rng() % 2 == 0) input += '\n';
    }
    LineBlocks blocks('\n');
    std::vector<std::string> got;
    auto const keep = [&](ByteView line) {
      got.push_back(text(line));
      return true;
    };
    for (std::size_t at = 0; at < input.size();) {
      std::size_t const size = std::min<std::size_t>(rng() % 9, input.size() - at);
      blocks.add(view(input).subspan(at, size), keep);
      at += size;
    }
    blocks.finish(keep);
    EXPECT_EQ(got, split_whole(input)) << "seed " << seed;
  }
}

using MergeInputsTest = testing_helpers::TmpDirTest;

TEST_F(MergeInputsTest, LinesLongerThanAReadKeepKeyOrderWithTiesFromTheEarlierInput) {
  Settings settings;
  settings.keys = {*parse_key("1,1")};
  settings.stable = true;
  Result<Keyer> keyer = Keyer::make(settings);
  ASSERT_TRUE(keyer.has_value());
  std::mt19937 rng(7);
  std::vector<int> fds;
  std::vector<std::string> all;  // every input's lines, input after input
  auto const first_byte = [](const std::string& line) { return line[0]; };
  for (int i = 0; i < 3; ++i) {
    std::vector<std::string> lines;
    for (int j = 0; j < 2000; ++j) {
      std::string const filler(j == 1000 + i ? 600000 : rng() % 300, 'x');  // > a 256 KiB read
      lines.push_back(std::string(1, static_cast<char>('a' + rng() % 5)) + " " +
                      std::to_string(i) + filler);
    }
    std::ranges::stable_sort(lines, {}, first_byte);
    std::string data;
    for (const std::string& line : lines) data += line + "\n";
    data.pop_back();  // the last line without its end byte
    std::ofstream(tmp_ / std::to_string(i), std::ios::binary) << data;
    fds.push_back(::open((tmp_ / std::to_string(i)).c_str(), O_RDONLY | O_CLOEXEC));
    all.insert(all.end(), lines.begin(), lines.end());
  }
  std::ranges::stable_sort(all, {}, first_byte);
  std::string expected;
  for (const std::string& line : all) expected += line + "\n";

  int const out = ::open((tmp_ / "out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  MergeCounters counters;
  Outcome merged = merge_inputs(*keyer, '\n', fds, out, testing_helpers::never, counters);
  for (int const fd : fds) ::close(fd);
  ::close(out);
  ASSERT_TRUE(merged.has_value()) << merged.error().error.text();
  std::ostringstream written;
  written << std::ifstream(tmp_ / "out", std::ios::binary).rdbuf();
  EXPECT_TRUE(written.str() == expected);
  EXPECT_EQ(counters.written.load(), expected.size());
}

}  // namespace
}  // namespace lodestack::lines
