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

class MergeInputsTest : public testing_helpers::TmpDirTest {
 protected:
  // A file holding `data`, opened for reading.
  int input(const std::string& name, const std::string& data) {
    std::ofstream(tmp_ / name, std::ios::binary) << data;
    int const fd = ::open((tmp_ / name).c_str(), O_RDONLY | O_CLOEXEC);
    fds_.push_back(fd);
    return fd;
  }
  void TearDown() override {
    for (int const fd : fds_) ::close(fd);
    TmpDirTest::TearDown();
  }
  std::vector<int> fds_;
};

TEST_F(MergeInputsTest, LinesLongerThanAReadMergeByKeyWithTiesFromTheEarlierInput) {
  for (bool const unique : {false, true}) {
    Settings settings;
    settings.keys = {*parse_key("1,1")};
    settings.stable = true;
    settings.unique = unique;
    Result<Keyer> keyer = Keyer::make(settings);
    ASSERT_TRUE(keyer.has_value());
    std::mt19937 rng(7);
    std::vector<int> fds;
    std::vector<std::string> all;  // every input's lines, input after input
    for (int i = 0; i < 3; ++i) {
      std::vector<std::string> lines;
      for (int j = 0; j < 2000; ++j) {
        std::string const filler(j == 1000 + i ? 600000 : rng() % 300, 'x');
        lines.push_back(std::string(1, static_cast<char>('a' + rng() % 5)) + " " +
                        std::to_string(i) + filler);
      }
      std::ranges::stable_sort(lines, {}, [](const std::string& s) { return s[0]; });
      std::string data;
      for (const std::string& line : lines) data += line + "\n";
      data.pop_back();  // the last line of an input without its end byte
      fds.push_back(input(std::to_string(i) + (unique ? "u" : ""), data));
      all.insert(all.end(), lines.begin(), lines.end());
    }
    std::ranges::stable_sort(all, {}, [](const std::string& s) { return s[0]; });
    if (unique) {
      auto const [end, last] =
          std::ranges::unique(all, {}, [](const std::string& s) { return s[0]; });
      all.erase(end, last);
    }
    std::string expected;
    for (const std::string& line : all) expected += line + "\n";

    int const out =
        ::open((tmp_ / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    MergeCounters counters;
    Outcome merged = merge_inputs(*keyer, '\n', fds, out, testing_helpers::kNever, counters);
    ::close(out);
    ASSERT_TRUE(merged.has_value()) << merged.error().error.text();
    std::ostringstream written;
    written << std::ifstream(tmp_ / "out", std::ios::binary).rdbuf();
    EXPECT_TRUE(written.str() == expected) << "unique " << unique;
    EXPECT_EQ(counters.written.load(), expected.size());
  }
}

}  // namespace
}  // namespace lodestack::lines
