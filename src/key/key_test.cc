#include "key/key.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <span>

#include "testing/helpers.h"

namespace lodestack::key {
namespace {

using namespace testing_helpers;
constexpr double kInf = std::numeric_limits<double>::infinity();

template <typename... Args>  // what `push` appends to a buffer that holds a list's tag
Bytes encode(void (*push)(Bytes&, Args...), std::type_identity_t<Args>... args) {
  Bytes out = {kTagList};
  push(out, args...);
  return out;
}
Bytes i64(std::int64_t v) { return encode(push_i64, v); }
Bytes dbl(double v) { return encode(push_double, v); }
Bytes big(bool negative, const Bytes& m) { return encode(push_big_int, negative, m); }

std::string hex(const Bytes& bytes) {
  std::string out;
  for (const std::uint8_t b : bytes) out += std::format(" {:02X}", b);
  return out;
}

// mantissa * 2^shift as a big-endian magnitude, with a zero byte in front.
Bytes shifted(std::uint64_t mantissa, int shift) {
  Bytes m(shift / 8 + 10, 0);
  for (int bit = shift; bit < shift + 64; ++bit)
    m[m.size() - 1 - bit / 8] |= (mantissa >> (bit - shift) & 1) << bit % 8;
  return m;
}

Bytes plus(Bytes m, int delta) {  // delta is 1 or -1
  for (std::size_t i = m.size(); i-- > 0;) {
    m[i] += delta;
    if (m[i] != (delta > 0 ? 0 : 0xFF)) break;
  }
  return m;
}

// A double that holds an integer, in any binade up to DBL_MAX's, encodes as that integer on
// every path of the byte layer, and the integers one away, or a random part of a step away,
// lie between it and the doubles either side.
TEST(KeyTest, IntegralDoublesMeetTheirIntegersInOrder) {
  std::mt19937_64 rng = seeded();
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t mantissa = rng() >> 11 | 1ull << 52;
    const int e = 1 + rng() % 971, away = rng() % 2 ? -1 : 1;  // away from zero
    const double x = std::ldexp(away * static_cast<double>(mantissa), e);
    const Bytes m = shifted(mantissa, e);
    const std::vector<Bytes> ladder = {
        dbl(std::nextafter(x, -kInf)), big(away < 0, plus(m, -away)), dbl(x),
        big(away < 0, plus(m, away)), dbl(std::nextafter(x, kInf))};
    ASSERT_EQ(hex(big(away < 0, m)), hex(ladder[2]));
    for (int j = 0; j < 3 && e <= 10; ++j)
      ASSERT_EQ(hex(i64(static_cast<std::int64_t>(x) - 1 + j)), hex(ladder[1 + j]));
    for (int j = 1; j < 5; ++j)
      ASSERT_LT(ladder[j - 1], ladder[j]) << hex(ladder[j - 1]) << "\n" << hex(ladder[j]);
    Bytes parts[2] = {m, m};  // |x| plus random bits below its last one
    for (int bit = 0; bit < 2 * e; ++bit)
      parts[bit % 2][m.size() - 1 - bit / 16] |= (rng() & 1) << bit / 2 % 8;
    const Bytes between[2] = {big(away < 0, parts[0]), big(away < 0, parts[1])};
    ASSERT_EQ(between[0]<between[1], away> 0 ? parts[0] < parts[1] : parts[1] < parts[0])
        << hex(between[0]) << "\n"
        << hex(between[1]);
    for (const Bytes& b : between)
      ASSERT_TRUE(away > 0 ? ladder[2] <= b && b < ladder[4] : ladder[0] < b && b <= ladder[2])
          << hex(b);
  }
}

// Numbers in ascending order, each written every way the byte layer offers, then unsigned
// integers and strings.
TEST(KeyTest, WorkedExamplesEncodeToTheirExactBytes) {
  const auto u = [](const Bytes& m) { return encode(push_unsigned, m); };
  const auto bytes = [](std::string_view s) {
    return encode(push_escaped, kTagBytes, view(s));
  };
  const std::string max = " 20 FF EF FF FF FF FF FF FF", below = " 20 00 0F FF FF FF FF FF FF";
  const std::string ff = hex(Bytes(128, 0xFF)), zeros = hex(Bytes(300, 0));
  const auto pow2 = [](int k, int delta = 0) {
    return delta ? plus(shifted(1, k), delta) : shifted(1, k);
  };
  const auto dbl_max = [](int delta = 0) {
    const Bytes m = shifted((1ull << 53) - 1, 971);
    return delta ? plus(m, delta) : m;
  };
  const std::pair<std::vector<Bytes>, std::string> examples[] = {
      {{dbl(-kInf)}, below + " 00"},
      {{big(true, pow2(1024))}, below + " 01 7E FE" + ff},
      {{big(true, pow2(1024, -1))}, below + " 01 7F" + zeros.substr(0, 384)},
      {{big(true, dbl_max(1))},
       below + " 01 7F" + zeros.substr(0, 18) + " 07" + ff.substr(0, 360) + " FE"},
      {{big(true, dbl_max()), dbl(-DBL_MAX)}, " 20 00 10 00 00 00 00 00 00 00"},
      {{big(true, dbl_max(-1))}, " 20 00 10 00 00 00 00 00 00 01 01"},
      {{big(true, pow2(127)), dbl(-0x1p127)}, " 20 38 1F FF FF FF FF FF FF 00"},
      {{i64(INT64_MIN), big(true, pow2(63)), dbl(-0x1p63)}, " 20 3C 1F FF FF FF FF FF FF 00"},
      {{i64(-(1LL << 53) - 1), big(true, pow2(53, 1))}, " 20 3C BF FF FF FF FF FF FE 01 01"},
      {{i64(-1), dbl(-1.0), big(true, Bytes{1})}, " 20 40 0F FF FF FF FF FF FF 00"},
      {{i64(0), dbl(0.0), dbl(-0.0), big(true, Bytes{0, 0}), big(false, {})},
       " 20 80" + zeros.substr(0, 24)},
      {{i64((1LL << 53) - 1), big(false, pow2(53, -1)), dbl(0x1p53 - 1)},
       " 20 C3 3F FF FF FF FF FF FF 00"},
      {{i64((1LL << 53) + 1), big(false, pow2(53, 1))}, " 20 C3 40 00 00 00 00 00 00 01 01"},
      {{i64(INT64_MAX), big(false, pow2(63, -1))}, " 20 C3 DF FF FF FF FF FF FF 02 03 FF"},
      {{big(false, pow2(64)), dbl(0x1p64)}, " 20 C3 F0 00 00 00 00 00 00 00"},
      {{big(false, pow2(127, -1))}, " 20 C7 DF FF FF FF FF FF FF 0A 03" + ff.substr(0, 27)},
      {{big(false, pow2(127)), dbl(0x1p127)}, " 20 C7 E0 00 00 00 00 00 00 00"},
      {{big(false, pow2(1024, -1))}, max + " 7A 07" + ff.substr(0, 363)},
      {{big(false, pow2(1024))}, max + " 81 01" + zeros.substr(0, 384)},
      {{dbl(kInf)}, " 20 FF F0 00 00 00 00 00 00 00"},
      {{dbl(std::nan("")), dbl(-std::nan("")), dbl(std::bit_cast<double>(0xFFF0000000000001))},
       " 20 FF F8 00 00 00 00 00 00 00"},
      {{u({}), u(Bytes{0, 0})}, " 00"},
      {{u(Bytes{0, 0, 5})}, " 01 05"},
      {{u(Bytes(254, 0xAB))}, " FE" + hex(Bytes(254, 0xAB))},
      {{u(Bytes(255, 1))}, " FF 00 00 00 00 00 00 00 FF" + hex(Bytes(255, 1))},
      {{u(pow2(2392))}, " FF 00 00 00 00 00 00 01 2C 01" + zeros.substr(0, 897)},
      {{bytes("")}, " 40 00 00"},
      {{bytes(std::string_view("\0a\0\0", 4))}, " 40 00 FF 61 00 FF 00 FF 00 00"},
  };
  for (const auto& [ways, expected] : examples) {
    for (const Bytes& way : ways) EXPECT_EQ(hex(way), " 60" + expected);
  }
}

}  // namespace
}  // namespace lodestack::key
