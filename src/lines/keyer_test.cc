#include "lines/keyer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lines/split.h"

namespace lodestack::lines {
namespace {

using namespace std::string_literals;

ByteView view(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// GNU sort's spelling: "-kSPEC", "-tX" ("-t\0" for NUL) and clusters of letters.
Result<Keyer> keyer_for(const std::vector<std::string>& args) {
  Settings settings;
  for (const std::string& arg : args) {
    if (arg.starts_with("-k")) {
      auto key = parse_key(arg.substr(2));
      if (!key) return fail(key.error());
      settings.keys.push_back(*key);
    } else if (arg.starts_with("-t")) {
      settings.separator = arg == "-t\\0" ? 0 : static_cast<std::uint8_t>(arg[2]);
    } else {
      for (char const letter : arg.substr(1)) {
        if (letter == 's') settings.stable = true;
        if (letter == 'u') settings.unique = true;
        settings.global.set(letter);
      }
    }
  }
  return Keyer::make(settings);
}

struct Row {
  std::vector<std::string> args;
  // The lines in the order LC_ALL=C sort puts them; "=" between two lines means their keys
  // are equal (GNU keeps them in input order, and with -u only the first).
  std::vector<std::string> lines;
};

// Each row was checked against GNU sort 9.10: fed in this order and backwards, it comes out
// in this order, the lines between "=" keeping their input order.
const Row kRows[] = {
    {{}, {"", "\0"s, "\0a"s, "\r", "A", "a", "a\0"s, "a\0b"s, "a\r", "ab", "\xe9"}},
    {{"-r"}, {"b", "ab", "a\0"s, "a", ""}},
    {{"-k2,2"}, {"w", "y", "x\tc", "x  b", "x a", "x c"}},
    {{"-k2b,2"}, {"x a", "x\tc", "x  c", "x c d"}},
    {{"-b", "-k2,2"}, {"a", "x a", "x\tc", "x  c"}},
    {{"-b", "-k1,2.2", "-s"}, {"a  xa", "a  xb"}},
    {{"-k2", "-s"}, {"a", "=", "b", "b \t", "a x", "=", "c x", "b x z"}},
    {{"-t:", "-k2,2", "-s"}, {"a::c", "a:b:", "=", "c:b", "z:b0", "a:c"}},
    {{"-t:", "-k2", "-s"}, {"a", "=", "b:", "b:x", "a:x:y"}},
    {{"-k1.2,1.3", "-s"}, {"a", "xa", "=", "za", "yaa", "xab", "xb"}},
    {{"-k2.2,2.2", "-s"}, {"q  b", "p a", "p xa", "=", "p xb"}},
    {{"-k2.2b,2", "-s"}, {"p a", "p xa", "p  xb", "p yc"}},
    {{"-k2,2.2b", "-s"}, {"p  a", "p  ab", "p  b", "p a"}},
    {{"-k2.5", "-k1,1.0", "-s"}, {"b bc", "a bc def", "a bc dz", "b bcdx"}},
    {{"-k3", "-k100000000", "-k4294967295,4294967295"}, {"a b", "b", "a b c", "a b d"}},
    {{"-s", "-k2.99999999999999999999"}, {"xx b", "=", "xx a"}},
    {{"-n", "-s"}, {"-10", "-9.5", "-1", "-.5", "-0", "=", "", "=", "+1", "=", "x", "=", ".",
                    "=", "-", "=", "--1", "0.000001", "1", "=", "01", "=", "1.0", "=", "1.",
                    "=", "1e3", "=", "1,000", "=", " \t1", "1.05", "1.5", "=", "1.50", "9",
                    "10", "1000", "12345678901234567890"}},
    {{"-n"}, {"", "+1", "-0", ".", "x"}},
    {{"-g", "-s"}, {"x", "=", "", "-nan", "nan", "=", "NAN(1)", "-inf", "=", "-1e99999", "-1e3",
                    "-0", "=", "+0", "=", "1e-99999", "=", "0x", "0.5e0", "1", "=", "\v1",
                    "1.0000000000000000001", "0x1p3", "=", "8", "1e3", "inf", "=", "infinity"}},
    {{"-h", "-s"}, {"-1M", "-1K", "-5", "0K", "=", "K", "=", "0", "1m", "=", "1", "=", "1..K",
                    "1.2.3K", "5000", ".5K", "1k", "=", "1K", "=", "1.K", "2K", "1M", "1G",
                    "1Q"}},
    {{"-fh", "-s"}, {"1", "1m", "=", "1M"}},
    {{"-M", "-s"}, {"ja", "=", "x", "=", "j an", "JAN", "=", " jan", "=", "\tjanuary", "feb",
                    "Dec"}},
    {{"-V", "-s"}, {"", ".", "..", ".5", ".a", "~", "1.0~rc1", "1.0", "1.0a", "1.0.1", "5",
                    "a~", "a0~", "a", "=", "a00", "a.b", "a.tar.gz", "a0b", "a1", "=", "a01",
                    "a1.tar.gz", "a1b", "a\0"s, "a-1", "a.", "a.1.tar", "b!", "v9", "v10"}},
    {{"-fV", "-s"}, {"a1", "=", "A1", "a1b", "a2"}},
    {{"-dV", "-s"}, {"a1", "=", "a-1", "a.2"}},
    {{"-d", "-s"}, {"\x01", "=", "", "a\tb", "a b", "a-b", "=", "ab", "a\xe9""c"}},
    {{"-i", "-s"}, {"\t", "=", "", " ", "a b", "a\tc", "=", "ac", "a\x7f""d"}},
    {{"-df", "-s"}, {"a b", "A-C", "=", "ac", "a-d", "B"}},
    {{"-f", "-s"}, {"A", "=", "a", "B", "=", "b", "[", "_", "\xe9"}},
    {{"-k1,1", "-k2,2r"}, {"a 2", "a 10", "a 1", "b 3"}},
    {{"-s", "-k1n,1", "-k2r"}, {"0 z", "1 b", "1 ab", "1 a"}},
    {{"-k1,1"}, {"a 1", "a 2", "a\0 0"s, "b 1"}},
    {{"-s", "-k1,1"}, {"a 2", "=", "a 1", "b 1"}},
    {{"-r", "-k1,1"}, {"b 1", "a 2", "a 1"}},
    {{"-k1,1r"}, {"b 1", "a 1", "a 2"}},
    {{"-r", "-k2n"}, {"b 1", "a 1", "c 2"}},
    {{"-n", "-k2b"}, {"x 10", "x 9"}},
    {{"-n", "-k2r"}, {"x 9", "x 100", "x 10"}},
    {{"-u", "-k2n"}, {"b 1", "=", "a 01", "a 2"}},
    {{"-u", "-f"}, {"a", "=", "A", "b"}},
    {{"-z", "-k2"}, {"x\tb", "x\na", "x c"}},
    {{"-t\\0", "-k2,2"}, {"b\0a"s, "a\0b"s, "a\0b\0a"s}},
};

TEST(KeyerTest, KeyBytesOrderAsGnuSort) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    auto const keyer = keyer_for(row.args);
    ASSERT_TRUE(keyer) << keyer.error().text();
    Bytes previous;
    bool tied = false;
    for (std::size_t i = 0; i < row.lines.size(); ++i) {
      if (row.lines[i] == "=") {
        tied = true;
        continue;
      }
      Bytes key = {0x5A};  // append_key keeps what the buffer held
      keyer->append_key(view(row.lines[i]), key);
      ASSERT_EQ(key[0], 0x5A);
      key.erase(key.begin());
      if (keyer->key_is_line()) {
        EXPECT_EQ(key, Bytes(row.lines[i].begin(), row.lines[i].end()));
      }
      if (i > 0) {
        SCOPED_TRACE(::testing::PrintToString(row.lines[i]));
        auto const order = previous <=> key;
        EXPECT_EQ(order == 0, tied);
        if (!tied) {
          EXPECT_EQ(order > 0, keyer->reverse_all());
        }
        // -c: a tie is in order unless -u; the swapped pair is out of order unless tied.
        EXPECT_EQ(keyer->out_of_order(previous, key), tied && keyer->unique());
        EXPECT_EQ(keyer->out_of_order(key, previous), !tied || keyer->unique());
      }
      previous = std::move(key);
      tied = false;
    }
  }
}

TEST(KeyerTest, BadOptionsFailWithGnuText) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-k0"}, "field number is zero: invalid field specification '0'"},
      {{"-k1,0"}, "field number is zero: invalid field specification '1,0'"},
      {{"-k1.0"}, "character offset is zero: invalid field specification '1.0'"},
      {{"-k,2"}, "invalid number at field start: invalid count at start of ',2'"},
      {{"-k1.,2"}, "invalid number after '.': invalid count at start of ',2'"},
      {{"-k1,-1"}, "invalid number after ',': invalid count at start of '-1'"},
      {{"-k2n.3"}, "stray character in field spec: invalid field specification '2n.3'"},
      {{"-k1R"}, "random order (R) is not supported: invalid field specification '1R'"},
      {{"-k1bdfr,1n"}, "options '-dfn' are incompatible"},
      {{"-iM", "-k1", "-k2"}, "options '-iM' are incompatible"},
      // A later key is checked even after a whole-line key that makes it moot.
      {{"-k1", "-k2g,2V"}, "options '-gV' are incompatible"},
  };
  for (const auto& [args, text] : cases) {
    auto const keyer = keyer_for(args);
    ASSERT_FALSE(keyer) << args[0];
    EXPECT_EQ(keyer.error().text(), text);
  }
  // Counts saturate rather than fail, and take GNU's leading blanks and '+'; a key with
  // letters of its own takes no global ones, nor their conflict.
  EXPECT_TRUE(keyer_for({"-k 99999999999999999999.99999999999999999999,+2.0b"}));
  EXPECT_TRUE(keyer_for({"-dn", "-k1n"}));
}

TEST(LineSplitterTest, YieldsEndedLinesAndLeavesTheRest) {
  for (char const end : {'\n', '\0'}) {
    char const other = end == '\n' ? '\0' : '\n';  // inside a line, as any byte
    std::string const block = {'a', end, end, 'b', other, end, 'c'};
    LineSplitter split(view(block), static_cast<std::uint8_t>(end));
    std::vector<std::string> lines;
    while (auto line = split.next()) {
      lines.emplace_back(line->begin(), line->end());
      EXPECT_EQ(line->data()[line->size()], end);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", std::string{'b', other}}));
    EXPECT_EQ(std::string(split.rest().begin(), split.rest().end()), "c");
  }
}

}  // namespace
}  // namespace lodestack::lines
