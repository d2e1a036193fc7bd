#include "key/key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace lodestack::key {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// "20 BF F0 ..." so that a mismatch shows where the bytes part.
std::string hex(const Bytes& bytes) {
  std::string out;
  char digits[4];
  for (std::uint8_t const b : bytes) {
    std::snprintf(digits, sizeof digits, "%s%02X", out.empty() ? "" : " ", b);
    out += digits;
  }
  return out;
}

std::string repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

// The big-endian magnitude of mantissa * 2^shift.
Bytes shifted(std::uint64_t mantissa, int shift) {
  Bytes out((shift + 64) / 8 + 1, 0);
  for (int bit = 0; bit < 64; ++bit) {
    if ((mantissa >> bit & 1) == 0) continue;
    int const position = bit + shift;
    out[out.size() - 1 - position / 8] |= static_cast<std::uint8_t>(1u << (position % 8));
  }
  return out;
}

Bytes plus(Bytes magnitude, int delta) {  // delta is +1 or -1; the magnitude is not 0
  for (std::size_t i = magnitude.size(); i-- > 0;) {
    std::uint8_t const before = magnitude[i];
    magnitude[i] = static_cast<std::uint8_t>(before + delta);
    if ((delta > 0 && magnitude[i] != 0) || (delta < 0 && before != 0)) break;
  }
  return magnitude;
}

Bytes int_key(bool negative, const Bytes& magnitude) {
  Bytes out;
  push_big_int(out, negative, magnitude);
  return out;
}

Bytes double_key(double value) {
  Bytes out;
  push_double(out, value);
  return out;
}

Bytes escaped(std::uint8_t tag, const std::string& data) {
  Bytes out;
  push_escaped(out, tag,
               ByteView(reinterpret_cast<std::uint8_t const*>(data.data()), data.size()));
  return out;
}

Bytes i64_key(std::int64_t value) {
  Bytes out;
  push_i64(out, value);
  return out;
}

// A tuple or list of already encoded elements.
Bytes sequence(std::uint8_t tag, const std::vector<Bytes>& elements) {
  Bytes out{tag};
  for (const Bytes& element : elements) out.insert(out.end(), element.begin(), element.end());
  out.push_back(kTagEnd);
  return out;
}

// DBL_MAX = (2^53 - 1) * 2^971.
Bytes dbl_max() { return shifted((std::uint64_t{1} << 53) - 1, 971); }

// Exact bytes. Each value is written every way the byte layer offers, and all ways agree.
struct Example {
  const char* name;
  Bytes actual;
  std::string expected;
};

class KeyExampleTest : public testing::TestWithParam<Example> {};

TEST_P(KeyExampleTest, EncodesToTheExactBytes) {
  EXPECT_EQ(hex(GetParam().actual), GetParam().expected);
}

std::string example_name(const testing::TestParamInfo<Example>& info) {
  return info.param.name;
}

const std::string kOne = "20 BF F0 00 00 00 00 00 00 00";
const std::string kZero = "20 80 00 00 00 00 00 00 00 00";
const std::string kMinusOne = "20 40 0F FF FF FF FF FF FF 00";
const std::string kTwo53Plus1 = "20 C3 40 00 00 00 00 00 00 01 01";
const std::string kTwo64 = "20 C3 F0 00 00 00 00 00 00 00";
const std::string kNan = "20 FF F8 00 00 00 00 00 00 00";
const std::string kI64Max = "20 C3 DF FF FF FF FF FF FF 02 03 FF";
const std::string kDblMaxImage = "20 FF EF FF FF FF FF FF FF";
const std::string kMinusInfImage = "20 00 0F FF FF FF FF FF FF";

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, KeyExampleTest,
    testing::Values(
        Example{"None", Bytes{kTagNone}, "10"}, Example{"OneI64", i64_key(1), kOne},
        Example{"OneDouble", double_key(1.0), kOne},
        Example{"OneBig", int_key(false, {0, 0, 1}), kOne},
        Example{"ZeroI64", i64_key(0), kZero}, Example{"ZeroDouble", double_key(0.0), kZero},
        Example{"NegativeZero", double_key(-0.0), kZero},
        Example{"ZeroBigNegative", int_key(true, {0, 0}), kZero},
        Example{"ZeroBigEmpty", int_key(false, {}), kZero},
        Example{"MinusOneDouble", double_key(-1.0), kMinusOne},
        Example{"MinusOneI64", i64_key(-1), kMinusOne},
        Example{"MinusOneBig", int_key(true, {1}), kMinusOne},
        Example{"Two53Plus1I64", i64_key(9007199254740993), kTwo53Plus1},
        Example{"Two53Plus1Big", int_key(false, plus(shifted(1, 53), 1)), kTwo53Plus1},
        Example{"Two64Big", int_key(false, shifted(1, 64)), kTwo64},
        Example{"Two64Double", double_key(0x1p64), kTwo64},
        Example{"Inf", double_key(kInf), "20 FF F0 00 00 00 00 00 00 00"},
        Example{"MinusInf", double_key(-kInf), "20 00 0F FF FF FF FF FF FF 00"},
        Example{"QuietNan", double_key(std::nan("")), kNan},
        Example{"NegativeNan", double_key(-std::nan("")), kNan},
        Example{"PayloadNan", double_key(std::bit_cast<double>(0xFFF0000000000001)), kNan},
        Example{"Str", escaped(kTagStr, "ab"), "30 61 62 00 00"},
        Example{"EmptyBytes", escaped(kTagBytes, ""), "40 00 00"},
        Example{"BytesWithZero", escaped(kTagBytes, std::string("a\0b", 3)),
                "40 61 00 FF 62 00 00"},
        Example{"EmptyTuple", sequence(kTagTuple, {}), "50 00"},
        Example{"TupleOfOneAndA", sequence(kTagTuple, {i64_key(1), escaped(kTagStr, "a")}),
                "50 20 BF F0 00 00 00 00 00 00 00 30 61 00 00 00"},
        Example{"ListOfNone", sequence(kTagList, {Bytes{kTagNone}}), "60 10 00"}),
    example_name);

// The integers at the ends of the 64- and 128-bit ranges, where the rounded double lies
// above the value and must be lowered one step.
INSTANTIATE_TEST_SUITE_P(
    LoweredRoundings, KeyExampleTest,
    testing::Values(
        // 2^63 - 1 rounds to 2^63; lowered to 2^63 - 2^10, remainder 1023.
        Example{"I64Max", i64_key(INT64_MAX), kI64Max},
        Example{"I64MaxBig", int_key(false, plus(shifted(1, 63), -1)), kI64Max},
        Example{"I64Min", i64_key(INT64_MIN), "20 3C 1F FF FF FF FF FF FF 00"},
        // 2^127 - 1 rounds to 2^127, which 128 bits cannot hold: lowered to 2^127 - 2^74.
        Example{"I128Max", int_key(false, plus(shifted(1, 127), -1)),
                "20 C7 DF FF FF FF FF FF FF 0A 03" + repeat(" FF", 9)},
        Example{"I128Min", int_key(true, shifted(1, 127)), "20 38 1F FF FF FF FF FF FF 00"},
        // -(2^127 + 1) no longer fits: its floor is -(2^127 + 2^75), remainder 2^75 - 1.
        Example{"BelowI128Min", int_key(true, plus(shifted(1, 127), 1)),
                "20 38 1F FF FF FF FF FF FE 0A 07" + repeat(" FF", 9)},
        Example{"Two127", int_key(false, shifted(1, 127)), "20 C7 E0 00 00 00 00 00 00 00"}),
    example_name);

INSTANTIATE_TEST_SUITE_P(
    EndsOfTheDoubleRange, KeyExampleTest,
    testing::Values(Example{"DblMaxAsInt", int_key(false, dbl_max()), kDblMaxImage + " 00"},
                    Example{"MinusDblMaxAsInt", int_key(true, dbl_max()),
                            "20 00 10 00 00 00 00 00 00 00"},
                    // 2^1024 - 1: D = DBL_MAX, remainder 2^971 - 1 (122 bytes).
                    Example{"Two1024MinusOne", int_key(false, plus(shifted(1, 1024), -1)),
                            kDblMaxImage + " 7A 07" + repeat(" FF", 121)},
                    // At and above 2^1024: D = DBL_MAX and the remainder field is U(x) itself.
                    Example{"Two1024", int_key(false, shifted(1, 1024)),
                            kDblMaxImage + " 81 01" + repeat(" 00", 128)},
                    // Below -DBL_MAX: -inf, 0x01, then U(|x|) complemented.
                    Example{"MinusTwo1024", int_key(true, shifted(1, 1024)),
                            kMinusInfImage + " 01 7E FE" + repeat(" FF", 128)},
                    // L = 1024 and the top 53 bits round up to 2^53: below -DBL_MAX.
                    Example{"MinusTwo1024PlusOne", int_key(true, plus(shifted(1, 1024), -1)),
                            kMinusInfImage + " 01 7F" + repeat(" 00", 128)},
                    Example{"MinusDblMaxMinusOne", int_key(true, plus(dbl_max(), 1)),
                            kMinusInfImage + " 01 7F" + repeat(" 00", 6) + " 07" +
                                repeat(" FF", 120) + " FE"}),
    example_name);

// The count of significant bytes, then them; from 255 significant bytes the count takes
// a long form, 0xFF and eight big-endian bytes, so that each class sorts above the last.
TEST(PushUnsignedTest, WritesTheCountOfSignificantBytesThenThem) {
  auto const u = [](const Bytes& digits) {
    Bytes out{0xEE};  // appends after what is there
    push_unsigned(out, digits);
    return hex(out);
  };
  EXPECT_EQ(u({}), "EE 00");
  EXPECT_EQ(u({0, 0, 0}), "EE 00");
  EXPECT_EQ(u({0, 0, 5}), "EE 01 05");
  EXPECT_EQ(u({0, 0xFF, 0, 0}), "EE 03 FF 00 00");
  Bytes digits254(257, 0xAB);  // 254 significant bytes behind 3 zeros, which do not count
  std::fill_n(digits254.begin(), 3, 0);
  EXPECT_EQ(u(digits254), "EE FE" + repeat(" AB", 254));
  EXPECT_EQ(u(Bytes(255, 0x01)), "EE FF 00 00 00 00 00 00 00 FF" + repeat(" 01", 255));
  Bytes digits300(300, 0);
  digits300[0] = 1;
  EXPECT_EQ(u(digits300), "EE FF 00 00 00 00 00 00 01 2C 01" + repeat(" 00", 299));
  EXPECT_LT(u(Bytes(254, 0xFF)), u(Bytes(255, 0x01)));
  EXPECT_LT(u(Bytes(255, 0xFF)), u(digits300));
}

// A byte-at-a-time escaper to hold the scanning one to.
Bytes escaped_slowly(std::uint8_t tag, const Bytes& data) {
  Bytes out{tag};
  for (std::uint8_t const b : data) {
    out.push_back(b);
    if (b == 0) out.push_back(0xFF);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

// Short data over few distinct bytes (zeros, prefixes and ties are frequent), then long
// data with zeros scattered through it, across the buffer's growth.
TEST(PushEscapedTest, RandomDataEscapesAsTheSlowEscaperDoes) {
  std::uint32_t const seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uint8_t const alphabet[] = {0x00, 0x01, 0x61, 0xFF};
  for (int i = 0; i < 20001; ++i) {
    Bytes data(i < 20000 ? rng() % 8 : 100000);
    for (auto& b : data) {
      b = static_cast<std::uint8_t>(i < 20000 ? alphabet[rng() % 4] : rng() % 16 ? rng() : 0);
    }
    Bytes key{0x50};  // appends after what is there, as inside a tuple
    push_escaped(key, kTagBytes, data);
    Bytes expected = escaped_slowly(kTagBytes, data);
    expected.insert(expected.begin(), 0x50);
    ASSERT_EQ(hex(key), hex(expected));
  }
}

// Keys listed in ascending numeric order; `tie` marks a key equal to the one before it.
struct Step {
  const char* name;
  Bytes key;
  bool tie = false;
};

void expect_ascending(const std::vector<Step>& steps) {
  for (std::size_t i = 1; i < steps.size(); ++i) {
    // Hex strings of two-digit bytes order as the bytes do.
    const std::string before = hex(steps[i - 1].key), key = hex(steps[i].key);
    const char* const relation = steps[i].tie ? " == " : " < ";
    EXPECT_TRUE(steps[i].tie ? before == key : before < key)
        << steps[i - 1].name << relation << steps[i].name << "\n  " << before << "\n  " << key;
  }
}

// Integers against doubles where they meet: near 2^127, DBL_MAX, 2^1024 and beyond.
TEST(NumberOrderTest, MixedIntegersAndDoublesAscendAcrossTheWideRanges) {
  Bytes const two1024 = shifted(1, 1024);
  Bytes const two2400 = shifted(1, 2400);  // 301 bytes: U takes its long form
  expect_ascending({
      {"-inf", double_key(-kInf)},
      {"-2^2400", int_key(true, two2400)},
      {"-(2^1024 + 1)", int_key(true, plus(two1024, 1))},
      {"-2^1024", int_key(true, two1024)},
      {"-(DBL_MAX + 1)", int_key(true, plus(dbl_max(), 1))},
      {"-DBL_MAX", double_key(-DBL_MAX)},
      {"-DBL_MAX as int", int_key(true, dbl_max()), true},
      {"-(DBL_MAX - 1)", int_key(true, plus(dbl_max(), -1))},
      {"next above -DBL_MAX", double_key(std::nextafter(-DBL_MAX, 0.0))},
      {"-(2^127 + 1)", int_key(true, plus(shifted(1, 127), 1))},
      {"-2^127", int_key(true, shifted(1, 127))},
      {"-2^127 double", double_key(-0x1p127), true},
      {"-1", i64_key(-1)},
      {"-0.0", double_key(-0.0)},
      {"0", i64_key(0), true},
      {"1", i64_key(1)},
      {"2^127 - 1", int_key(false, plus(shifted(1, 127), -1))},
      {"2^127 double", double_key(0x1p127)},
      {"2^127", int_key(false, shifted(1, 127)), true},
      {"2^127 + 1", int_key(false, plus(shifted(1, 127), 1))},
      {"next above 2^127", double_key(std::nextafter(0x1p127, kInf))},
      {"DBL_MAX - 1", int_key(false, plus(dbl_max(), -1))},
      {"DBL_MAX", double_key(DBL_MAX)},
      {"DBL_MAX as int", int_key(false, dbl_max()), true},
      {"DBL_MAX + 1", int_key(false, plus(dbl_max(), 1))},
      {"2^1024 - 1", int_key(false, plus(two1024, -1))},
      {"2^1024", int_key(false, two1024)},
      {"2^1024 + 1", int_key(false, plus(two1024, 1))},
      {"2^2400", int_key(false, two2400)},
      {"inf", double_key(kInf)},
      {"nan", double_key(std::nan(""))},
      {"-nan", double_key(-std::nan("")), true},
  });
}

// A double that holds an integer encodes exactly as that integer, in every binade and on
// every path of push_big_int; its integer neighbours sit on either side of it.
TEST(NumberOrderTest, IntegralDoublesMatchTheirIntegersAndNeighbours) {
  std::uint32_t const seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t const mantissa = (rng() >> 11) | std::uint64_t{1} << 52;
    int const exponent = static_cast<int>(rng() % 972);  // up to DBL_MAX's
    bool const negative = rng() % 2 == 0;
    double const magnitude = std::ldexp(static_cast<double>(mantissa), exponent);
    double const value = negative ? -magnitude : magnitude;
    Bytes const digits = shifted(mantissa, exponent);
    SCOPED_TRACE(std::to_string(mantissa) + " * 2^" + std::to_string(exponent) +
                 (negative ? " negative" : ""));

    Bytes const as_double = double_key(value);
    ASSERT_EQ(hex(int_key(negative, digits)), hex(as_double));
    if (exponent <= 10) {
      auto const small = static_cast<std::int64_t>(value);
      ASSERT_EQ(hex(i64_key(small)), hex(as_double));
    }
    if (exponent == 0) continue;  // x +- 1 are then doubles themselves
    Bytes const above = int_key(negative, plus(digits, negative ? -1 : 1));
    Bytes const below = int_key(negative, plus(digits, negative ? 1 : -1));
    Bytes const next_double = double_key(std::nextafter(value, kInf));
    Bytes const previous_double = double_key(std::nextafter(value, -kInf));
    ASSERT_LT(previous_double, below);
    ASSERT_LT(below, as_double);
    ASSERT_LT(as_double, above);
    ASSERT_LT(above, next_double);
  }
}

}  // namespace
}  // namespace lodestack::key
