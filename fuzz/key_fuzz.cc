// Checks the key encoder's byte layer against a slow, obviously correct reference.
//
// Each input is cut into four values a1, a2, b1, b2 of random kinds: 64-bit integers, big
// integers of up to 160 bytes (past the double range at 2^1024), integers next to a power
// of two, doubles from raw bit patterns, and strings and byte strings. The properties are
// those the binding relies on when it concatenates encodings into tuple keys:
//   - the bytes of (a1, a2) compare as the pairs compare element by element, so the order
//     of any two values is right and no encoding is a proper prefix of an unequal one;
//   - equal values get equal bytes: an int and a double of the same value, push_i64 and
//     push_big_int of the same integer, -0.0 and 0.0, every NaN;
//   - encoders append and never touch what the buffer already held;
//   - escaped strings and push_unsigned's counts read back to what was written.
// The reference compares numbers exactly: a double is split into its integer part and
// whether a fraction is left, so an int is compared with it in big-integer arithmetic.
//
// `key_fuzz --write-seeds=DIR` writes a few seed inputs and exits (fuzz/run.sh asks every
// target for seeds).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "seed_flag.h"
#include "key/bytes.h"
#include "key/key.h"

namespace {

using lodestack::ByteView;
using lodestack::Bytes;
namespace key = lodestack::key;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "key_fuzz: %s\n", what);
  std::abort();
}

// An integer as a sign and a big-endian magnitude without leading zeros (zero: empty, +).
struct Int {
  bool negative = false;
  Bytes magnitude;
};

struct Text {
  std::uint8_t tag;
  Bytes data;
};

using Value = std::variant<Int, double, Text>;

Bytes strip(ByteView bytes) {
  std::size_t first = 0;
  while (first < bytes.size() && bytes[first] == 0) ++first;
  return Bytes(bytes.begin() + first, bytes.end());
}

Int make_int(bool negative, ByteView magnitude) {
  Int v{negative, strip(magnitude)};
  if (v.magnitude.empty()) v.negative = false;
  return v;
}

Bytes be64(std::uint64_t x) {
  Bytes out(8);
  for (int i = 7; i >= 0; --i, x >>= 8) out[i] = static_cast<std::uint8_t>(x);
  return out;
}

// -1, 0 or 1 as `a` compares with `b` as unsigned byte strings, a proper prefix first.
int compare_bytes(const Bytes& a, const Bytes& b) {
  const auto c = std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int compare_magnitudes(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return compare_bytes(a, b);
}

int compare_ints(const Int& a, const Int& b) {
  const int sa = a.magnitude.empty() ? 0 : a.negative ? -1 : 1;
  const int sb = b.magnitude.empty() ? 0 : b.negative ? -1 : 1;
  if (sa != sb) return sa < sb ? -1 : 1;
  const int m = compare_magnitudes(a.magnitude, b.magnitude);
  return sa < 0 ? -m : m;
}

// magnitude << shift, for a shift of any size.
Bytes shift_left(std::uint64_t mantissa, int shift) {
  Bytes out = be64(mantissa);
  const int bits = shift % 8;
  if (bits != 0) {
    std::uint8_t carry = 0;
    for (std::size_t i = out.size(); i-- > 0;) {
      const unsigned wide = static_cast<unsigned>(out[i]) << bits | carry;
      out[i] = static_cast<std::uint8_t>(wide);
      carry = static_cast<std::uint8_t>(wide >> 8);
    }
    out.insert(out.begin(), carry);
  }
  out.insert(out.end(), shift / 8, 0);
  return strip(out);
}

// A finite double as its integer part, truncated toward zero, and whether a fraction is left.
Int truncate(double d, bool& fraction) {
  int exponent = 0;
  const double f = std::frexp(std::fabs(d), &exponent);
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(f, 53));
  const int shift = exponent - 53;
  fraction = false;
  if (shift >= 0) return make_int(d < 0, shift_left(mantissa, shift));
  if (shift <= -64) {
    fraction = mantissa != 0;
    return Int{};
  }
  fraction = (mantissa & ((std::uint64_t{1} << -shift) - 1)) != 0;
  return make_int(d < 0, be64(mantissa >> -shift));
}

// -1, 0 or 1 as the int compares with the double. NaN is above everything.
int compare_int_double(const Int& a, double d) {
  if (std::isnan(d) || d == std::numeric_limits<double>::infinity()) return -1;
  if (d == -std::numeric_limits<double>::infinity()) return 1;
  bool fraction = false;
  const int c = compare_ints(a, truncate(d, fraction));
  if (c != 0 || !fraction) return c;
  return d > 0 ? -1 : 1;
}

int compare_doubles(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) - std::isnan(b);
  return a < b ? -1 : a > b ? 1 : 0;
}

int rank(const Value& v) {
  if (const auto* t = std::get_if<Text>(&v)) return t->tag;
  return key::kTagNumber;
}

int compare(const Value& a, const Value& b) {
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (const auto* ta = std::get_if<Text>(&a)) {
    return compare_bytes(ta->data, std::get<Text>(b).data);
  }
  const auto* ia = std::get_if<Int>(&a);
  const auto* ib = std::get_if<Int>(&b);
  if (ia && ib) return compare_ints(*ia, *ib);
  if (ia) return compare_int_double(*ia, std::get<double>(b));
  if (ib) return -compare_int_double(*ib, std::get<double>(a));
  return compare_doubles(std::get<double>(a), std::get<double>(b));
}

void encode(Bytes& out, const Value& v) {
  if (const auto* t = std::get_if<Text>(&v)) {
    key::push_escaped(out, t->tag, t->data);
  } else if (const auto* i = std::get_if<Int>(&v)) {
    key::push_big_int(out, i->negative, i->magnitude);
  } else {
    key::push_double(out, std::get<double>(v));
  }
}

Bytes encoded(const Value& a, const Value& b) {
  Bytes out;
  encode(out, a);
  encode(out, b);
  return out;
}

// Extra checks that hold for one value on its own.
void check_one(const Value& v, FuzzedDataProvider& in) {
  // Appending: a prefix already in the buffer stays as it was.
  const Bytes prefix = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 12));
  Bytes alone;
  encode(alone, v);
  Bytes after = prefix;
  encode(after, v);
  if (!std::equal(prefix.begin(), prefix.end(), after.begin()) ||
      !std::equal(alone.begin(), alone.end(), after.begin() + prefix.size(), after.end())) {
    fail("an encoder changed what the buffer already held");
  }

  if (const auto* t = std::get_if<Text>(&v)) {
    Bytes back;
    std::size_t at = 1;
    for (;; ++at) {
      if (at + 1 >= alone.size()) fail("an escaped string has no terminator");
      if (alone[at] != 0) {
        back.push_back(alone[at]);
      } else if (alone[at + 1] == 0xFF) {
        back.push_back(0);
        ++at;
      } else {
        break;
      }
    }
    if (alone[0] != t->tag || back != t->data || at + 2 != alone.size() || alone[at + 1] != 0) {
      fail("an escaped string does not read back");
    }
  } else if (const auto* i = std::get_if<Int>(&v)) {
    // Within int64, push_i64 must give the bytes push_big_int gives.
    if (i->magnitude.size() <= 8) {
      std::uint64_t m = 0;
      for (const std::uint8_t b : i->magnitude) m = m << 8 | b;
      const bool fits = i->negative ? m <= std::uint64_t{1} << 63 : m < std::uint64_t{1} << 63;
      if (fits) {
        const auto value = static_cast<std::int64_t>(i->negative ? std::uint64_t{0} - m : m);
        Bytes small;
        key::push_i64(small, value);
        if (small != alone) fail("push_i64 and push_big_int disagree");
      }
    }
  } else {
    const double d = std::get<double>(v);
    // An integral double encodes as the int of its value.
    if (std::isfinite(d) && d == std::trunc(d)) {
      bool fraction = false;
      const Int whole = truncate(d, fraction);
      Bytes as_int;
      key::push_big_int(as_int, whole.negative, whole.magnitude);
      if (as_int != alone) fail("a double and the int of its value encode differently");
    }
  }
}

Value consume_value(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {
      const auto v = in.ConsumeIntegral<std::int64_t>();
      const auto bits = static_cast<std::uint64_t>(v);
      return make_int(v < 0, be64(v < 0 ? std::uint64_t{0} - bits : bits));
    }
    case 1: {
      const bool negative = in.ConsumeBool();
      const std::size_t size = in.ConsumeIntegralInRange(0, 160);
      return make_int(negative, in.ConsumeBytes<std::uint8_t>(size));
    }
    case 2: {
      // 2^k + delta: the edges of the double range and of the 53-bit mantissa.
      const bool negative = in.ConsumeBool();
      const int k = in.ConsumeIntegralInRange(0, 1100);
      const auto delta = in.ConsumeIntegralInRange<std::int64_t>(-300, 300);
      Bytes m = shift_left(1, k);
      // Add or subtract |delta| in big-endian byte arithmetic; a result below zero becomes 0.
      std::uint64_t carry = delta < 0 ? static_cast<std::uint64_t>(-delta) : delta;
      if (delta < 0 && m.size() <= 8 && (std::uint64_t{1} << std::min(k, 63)) <= carry) {
        return Int{};
      }
      m.insert(m.begin(), 0);
      for (std::size_t i = m.size(); i-- > 0 && carry != 0;) {
        if (delta >= 0) {
          const std::uint64_t sum = m[i] + (carry & 0xFF);
          m[i] = static_cast<std::uint8_t>(sum);
          carry = (carry >> 8) + (sum >> 8);
        } else {
          const auto sub = static_cast<int>(m[i]) - static_cast<int>(carry & 0xFF);
          m[i] = static_cast<std::uint8_t>(sub);
          carry = (carry >> 8) + (sub < 0 ? 1 : 0);
        }
      }
      return make_int(negative, m);
    }
    case 3:
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 4:
      // Small integral and half-integral doubles, where ints and doubles meet most often.
      return std::ldexp(static_cast<double>(in.ConsumeIntegral<std::int32_t>()),
                        in.ConsumeIntegralInRange(-2, 80));
    default: {
      const std::uint8_t tag = in.ConsumeBool() ? key::kTagStr : key::kTagBytes;
      return Text{tag, in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 40))};
    }
  }
}

void check_unsigned(FuzzedDataProvider& in) {
  // Pairs of push_unsigned values compare as the pairs of numbers do, and read back.
  Bytes raw[4];
  for (Bytes& r : raw) {
    r = in.ConsumeBytes<std::uint8_t>(in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 8)
                                                       : in.ConsumeIntegralInRange(250, 300));
  }
  Bytes x;
  Bytes y;
  key::push_unsigned(x, raw[0]);
  key::push_unsigned(x, raw[1]);
  key::push_unsigned(y, raw[2]);
  key::push_unsigned(y, raw[3]);
  int expected = compare_magnitudes(strip(raw[0]), strip(raw[2]));
  if (expected == 0) expected = compare_magnitudes(strip(raw[1]), strip(raw[3]));
  if (compare_bytes(x, y) != expected) fail("push_unsigned orders wrongly");

  // Read x back: a count (short or long form) and that many digits, twice.
  std::size_t at = 0;
  for (int i = 0; i < 2; ++i) {
    std::uint64_t m = x.at(at++);
    if (m == 0xFF) {
      m = 0;
      for (int j = 0; j < 8; ++j) m = m << 8 | x.at(at++);
      if (m <= 254) fail("push_unsigned used the long form for a short count");
    }
    if (at + m > x.size() || Bytes(x.begin() + at, x.begin() + at + m) != strip(raw[i])) {
      fail("push_unsigned does not read back");
    }
    at += m;
  }
  if (at != x.size()) fail("push_unsigned wrote trailing bytes");
}

void write_seeds(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  // FuzzedDataProvider takes integers from the end and bytes from the front, so inputs of
  // varied lengths and fill patterns reach every kind of value early.
  for (int i = 0; i < 16; ++i) {
    std::string seed(static_cast<std::size_t>(8 + i * 23), '\0');
    for (std::size_t j = 0; j < seed.size(); ++j) {
      seed[j] = static_cast<char>((j * 131 + static_cast<std::size_t>(i) * 17) % 256);
    }
    std::ofstream(dir / ("seed-" + std::to_string(i)), std::ios::binary) << seed;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  write_seeds_if_asked(*argc, *argv, write_seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    check_unsigned(in);
    return 0;
  }
  const Value a1 = consume_value(in);
  const Value a2 = consume_value(in);
  const Value b1 = consume_value(in);
  const Value b2 = consume_value(in);

  int expected = compare(a1, b1);
  if (expected == 0) expected = compare(a2, b2);
  const Bytes x = encoded(a1, a2);
  const Bytes y = encoded(b1, b2);
  if (compare_bytes(x, y) != expected) fail("two pairs' bytes compare other than the pairs");
  check_one(a1, in);
  check_one(b1, in);
  return 0;
}
