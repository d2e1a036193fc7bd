#include "key/key.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace lodestack::key {
namespace {

// The 128-bit types are a compiler extension; __extension__ keeps -Wpedantic quiet about them.
__extension__ typedef unsigned __int128 U128;
__extension__ typedef __int128 I128;

constexpr std::uint64_t kSignBit = 0x8000000000000000;
constexpr std::uint64_t kCanonicalNan = 0x7FF8000000000000;
// U(n) writes its byte count in one byte up to this many bytes, else kLongCount + 8 bytes.
constexpr std::size_t kMaxShortCount = 254;
constexpr std::uint8_t kLongCount = 0xFF;
// Follows the image of -inf for integers below -DBL_MAX: above -inf's own remainder 0x00.
constexpr std::uint8_t kBelowDoubleRange = 0x01;
constexpr std::uint8_t kEscapedZero = 0xFF;
constexpr int kDoubleDigits = std::numeric_limits<double>::digits;  // 53
// Integers of more significant bits than this are beyond every finite double.
constexpr std::size_t kMaxDoubleBits = 1024;
// The most bytes the remainder of a wide integer within the double range can take:
// 1024 - 53 bits.
constexpr std::size_t kMaxRestBytes = (kMaxDoubleBits - kDoubleDigits + 7) / 8;

// Reserves room for `n` more bytes with the vector's own geometric growth, so callers can
// append in pieces without a reallocation per piece. (reserve() alone grows to the exact
// size asked for, which would make appending to a long key quadratic.)
void reserve_more(Bytes& buffer, std::size_t n) {
  if (buffer.capacity() - buffer.size() < n) {
    buffer.reserve(std::max(buffer.size() + n, 2 * buffer.capacity()));
  }
}

// Appends `n` bytes built on the stack: a single copy into the buffer, with its geometric
// growth, and no zero-filling of room that is overwritten at once.
void append(Bytes& buffer, std::uint8_t const* data, std::size_t n) {
  buffer.insert(buffer.end(), data, data + n);
}

void store_be64(std::uint8_t* out, std::uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
  std::memcpy(out, &value, sizeof value);
}

// Maps a double's bit pattern to an unsigned integer of the same order: flipping the sign
// bit puts positives above negatives, and complementing a negative reverses its magnitude
// order.
std::uint64_t order_image(double value) {
  std::uint64_t const bits = std::bit_cast<std::uint64_t>(value);
  // Branch-free: keys of random sign would otherwise mispredict half the time.
  auto const negative_mask = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);
  return bits ^ (negative_mask | kSignBit);
}

// Writes the tag and the image of `d`: the first 9 bytes of every number.
void push_head(Bytes& buffer, double d) {
  std::uint8_t out[9];
  out[0] = kTagNumber;
  store_be64(out + 1, order_image(d));
  append(buffer, out, sizeof out);
}

int significant_bytes(U128 value) {
  auto const high = static_cast<std::uint64_t>(value >> 64);
  auto const low = static_cast<std::uint64_t>(value);
  int const bits = high != 0 ? 128 - std::countl_zero(high) : 64 - std::countl_zero(low);
  return (bits + 7) / 8;
}

// Writes a whole number: the head for `d`, then U(remainder) for a remainder of at most 16
// bytes, built in place rather than through push_unsigned to keep integers cheap.
void push_number(Bytes& buffer, double d, U128 remainder) {
  int const m = significant_bytes(remainder);
  std::uint8_t out[10 + 16];
  out[0] = kTagNumber;
  store_be64(out + 1, order_image(d));
  out[9] = static_cast<std::uint8_t>(m);
  std::uint8_t digits[16];
  store_be64(digits, static_cast<std::uint64_t>(remainder >> 64));
  store_be64(digits + 8, static_cast<std::uint64_t>(remainder));
  std::memcpy(out + 10, digits + 16 - m, m);
  append(buffer, out, 10 + m);
}

// push_number for a remainder within 64 bits, the int64 case, without 128-bit arithmetic.
void push_small_number(Bytes& buffer, double d, std::uint64_t remainder) {
  int const m = (64 - std::countl_zero(remainder) + 7) / 8;
  std::uint8_t out[10 + 8];
  out[0] = kTagNumber;
  store_be64(out + 1, order_image(d));
  out[9] = static_cast<std::uint8_t>(m);
  // The m significant bytes moved to the front; a zero remainder stays 0 under the masked
  // shift.
  store_be64(out + 10, remainder << ((64 - 8 * m) & 63));
  append(buffer, out, 10 + m);
}

// An integer within 128 bits: D is the integer rounded to a double, lowered by one step if
// the rounding went up, so that D <= value and value - D is a small non-negative remainder.
void push_i128(Bytes& buffer, I128 value) {
  double d = static_cast<double>(value);
  // 2^127 is the one rounding result that does not fit back into 128 bits; it is above
  // every such value, so it is always lowered.
  if (d >= 0x1p127 || static_cast<I128>(d) > value) {
    d = std::nextafter(d, -std::numeric_limits<double>::infinity());
  }
  push_number(buffer, d, static_cast<U128>(value - static_cast<I128>(d)));
}

// An integer below -DBL_MAX, where no finite double is a floor: -inf, a marker above
// -inf's own remainder, then U(|x|) complemented so that a larger magnitude sorts first.
// U is prefix-free, so its complement is too and the order simply reverses.
void push_below_doubles(Bytes& buffer, ByteView magnitude) {
  push_head(buffer, -std::numeric_limits<double>::infinity());
  buffer.push_back(kBelowDoubleRange);
  std::size_t const start = buffer.size();
  push_unsigned(buffer, magnitude);
  for (std::size_t i = start; i < buffer.size(); ++i) buffer[i] = ~buffer[i];
}

// An integer of 128 or more significant bits, `magnitude` without leading zeros. D keeps the
// top 53 bits and the remainder is the rest, unless the value lies beyond the doubles.
void push_wide(Bytes& buffer, bool negative, ByteView magnitude) {
  std::size_t const m = magnitude.size();
  assert(m >= 16 && magnitude[0] != 0);
  std::size_t const bits = (m - 1) * 8 + std::bit_width(magnitude[0]);

  if (bits > kMaxDoubleBits) {
    if (negative) {
      push_below_doubles(buffer, magnitude);
    } else {
      // Above DBL_MAX and below +inf: U(x) orders these among themselves, and its byte
      // count (at least 129) is above that of any remainder next to DBL_MAX (at most 122).
      push_head(buffer, std::numeric_limits<double>::max());
      push_unsigned(buffer, magnitude);
    }
    return;
  }

  // top: the highest 53 bits. The first 8 bytes hold bit_width(magnitude[0]) + 56 of them.
  std::uint64_t first8 = 0;
  std::memcpy(&first8, magnitude.data(), 8);
  if constexpr (std::endian::native == std::endian::little) first8 = std::byteswap(first8);
  std::uint64_t top = first8 >> (std::bit_width(magnitude[0]) + 56 - kDoubleDigits);

  // rest: the lowest k bits as big-endian bytes; k <= 1024 - 53, so they fit the array.
  std::size_t const k = bits - kDoubleDigits;
  std::size_t const rest_len = (k + 7) / 8;
  assert(rest_len <= kMaxRestBytes);
  std::array<std::uint8_t, kMaxRestBytes> rest;
  std::memcpy(rest.data(), magnitude.data() + m - rest_len, rest_len);
  std::uint8_t const top_mask =
      k % 8 == 0 ? 0xFF : static_cast<std::uint8_t>((1u << (k % 8)) - 1);
  rest[0] &= top_mask;
  bool const rest_zero =
      std::all_of(rest.begin(), rest.begin() + rest_len, [](std::uint8_t b) { return b == 0; });

  if (negative && !rest_zero) {
    // The floor of -(top * 2^k + rest) is -((top + 1) * 2^k), leaving 2^k - rest above it:
    // negate the k-bit field in place (two's complement, then drop the borrow above k bits).
    ++top;
    for (std::size_t i = 0; i < rest_len; ++i) rest[i] = ~rest[i];
    for (std::size_t i = rest_len; i-- > 0;) {
      if (++rest[i] != 0) break;
    }
    rest[0] &= top_mask;
    // Rounding up to 2^53 * 2^971 = 2^1024 leaves the doubles: the value is below -DBL_MAX.
    if (bits == kMaxDoubleBits && top == std::uint64_t{1} << kDoubleDigits) {
      push_below_doubles(buffer, magnitude);
      return;
    }
  }

  double const d = std::ldexp(static_cast<double>(top), static_cast<int>(k));
  push_head(buffer, negative ? -d : d);
  push_unsigned(buffer, ByteView(rest.data(), rest_len));
}

}  // namespace

void push_escaped(Bytes& buffer, std::uint8_t tag, ByteView data) {
  std::uint8_t const* p = data.data();
  std::size_t const size = data.size();
  std::uint8_t const* const end = p + size;
  auto const* zero =
      size == 0 ? nullptr : static_cast<std::uint8_t const*>(std::memchr(p, 0, size));
  std::size_t const zeros = zero == nullptr ? 0 : std::count(zero, end, std::uint8_t{0});

  reserve_more(buffer, size + zeros + 3);
  buffer.push_back(tag);
  // Copy the stretches between zeros whole; each zero goes out as 0x00 0xFF.
  while (zero != nullptr) {
    buffer.insert(buffer.end(), p, zero + 1);
    buffer.push_back(kEscapedZero);
    p = zero + 1;
    zero = p == end ? nullptr : static_cast<std::uint8_t const*>(std::memchr(p, 0, end - p));
  }
  buffer.insert(buffer.end(), p, end);
  buffer.push_back(kTagEnd);
  buffer.push_back(kTagEnd);
}

void push_unsigned(Bytes& buffer, ByteView big_endian) {
  std::size_t first = 0;
  while (first < big_endian.size() && big_endian[first] == 0) ++first;
  ByteView const digits = big_endian.subspan(first);
  std::size_t const m = digits.size();

  if (m <= kMaxShortCount) {
    reserve_more(buffer, 1 + m);
    buffer.push_back(static_cast<std::uint8_t>(m));
  } else {
    reserve_more(buffer, 9 + m);
    std::uint8_t count[9];
    count[0] = kLongCount;
    store_be64(count + 1, m);
    append(buffer, count, sizeof count);
  }
  buffer.insert(buffer.end(), digits.begin(), digits.end());
}

void push_big_int(Bytes& buffer, bool negative, ByteView magnitude) {
  std::size_t first = 0;
  while (first < magnitude.size() && magnitude[first] == 0) ++first;
  ByteView const digits = magnitude.subspan(first);

  if (digits.size() <= 16) {
    U128 value = 0;
    for (std::uint8_t const b : digits) value = value << 8 | b;
    constexpr U128 kLimit = U128{1} << 127;
    if (!negative && value < kLimit) {
      push_i128(buffer, static_cast<I128>(value));
      return;
    }
    if (negative && value <= kLimit) {
      // Unsigned negation, then the two's-complement reading: exact even for -2^127.
      push_i128(buffer, static_cast<I128>(U128{0} - value));
      return;
    }
  }
  push_wide(buffer, negative, digits);
}

void push_i64(Bytes& buffer, std::int64_t value) {
  // Up to 2^53 in magnitude the double is exact and the remainder 0.
  constexpr std::int64_t kExact = std::int64_t{1} << kDoubleDigits;
  if (value >= -kExact && value <= kExact) {
    std::uint8_t out[10];
    out[0] = kTagNumber;
    store_be64(out + 1, order_image(static_cast<double>(value)));
    out[9] = 0;
    append(buffer, out, sizeof out);
    return;
  }
  // Beyond, the rounding goes up about half the time, to 2^63 at most (not an int64), and
  // is then lowered one step. d is not 0 here, so one step down is one unit off the bit
  // pattern: toward a smaller magnitude for a positive d, a larger one for a negative d.
  // Computed without branches, which random keys would mispredict half the time; the
  // clamp keeps the conversion defined when d is 2^63.
  double const rounded = static_cast<double>(value);
  constexpr double kBelow2To63 = 0x1p63 - 0x1p10;
  std::uint64_t const up = static_cast<std::uint64_t>(rounded >= 0x1p63) |
                           static_cast<std::uint64_t>(static_cast<std::int64_t>(std::min(
                                                          rounded, kBelow2To63)) > value);
  std::uint64_t const bits = std::bit_cast<std::uint64_t>(rounded);
  double const d = std::bit_cast<double>(bits - up + 2 * (up & bits >> 63));
  // The difference is below 2^11; unsigned arithmetic makes the subtraction defined for
  // any two int64s.
  std::uint64_t const remainder = static_cast<std::uint64_t>(value) -
                                  static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
  push_small_number(buffer, d, remainder);
}

void push_double(Bytes& buffer, double value) {
  // Python holds -0.0 equal to 0.0, so both get one pattern. NaNs compare with nothing;
  // one pattern for all of them gives them a single place, after +inf, and keeps the order
  // total. The remainder of every double is 0.
  double const canonical = std::isnan(value) ? std::bit_cast<double>(kCanonicalNan)
                           : value == 0.0    ? 0.0
                                             : value;
  std::uint8_t out[10];
  out[0] = kTagNumber;
  store_be64(out + 1, order_image(canonical));
  out[9] = 0;
  append(buffer, out, sizeof out);
}

}  // namespace lodestack::key
