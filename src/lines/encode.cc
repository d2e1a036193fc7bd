#include "lines/encode.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace lodestack::lines {
namespace {

constexpr bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }
constexpr bool is_alpha(std::uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void complement(Bytes& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
}

// A count whose byte order is its numeric order: one byte below 0xFF, else 0xFF and 8
// big-endian bytes. Prefix-free.
void push_count(Bytes& out, std::size_t n) {
  if (n < 0xFF) {
    out.push_back(static_cast<std::uint8_t>(n));
    return;
  }
  out.push_back(0xFF);
  for (int shift = 56; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> shift));
  }
}

// --- -n ----------------------------------------------------------------------------------

constexpr std::uint8_t kNumberNegative = 0x01;
constexpr std::uint8_t kNumberZero = 0x02;
constexpr std::uint8_t kNumberPositive = 0x03;

// --- -h ----------------------------------------------------------------------------------

constexpr std::uint8_t kUnitBase = 0x40;

int unit_order(std::uint8_t c) {
  switch (c) {
    case 'K': case 'k': return 1;
    case 'M': return 2;
    case 'G': return 3;
    case 'T': return 4;
    case 'P': return 5;
    case 'E': return 6;
    case 'Z': return 7;
    case 'Y': return 8;
    case 'R': return 9;
    case 'Q': return 10;
    default: return 0;
  }
}

// --- -g ----------------------------------------------------------------------------------

enum GeneralTag : std::uint8_t {
  kNotANumber = 0x01,  // nothing converted: these sort first, all equal
  kNegativeNan,
  kNan,
  kNegativeInfinity,
  kNegative,
  kZero,
  kPositive,
  kPositiveInfinity,
};

constexpr int kExponentBias = 0x8000;
constexpr int kSignificandBytes = (LDBL_MANT_DIG + 7) / 8;
static_assert(LDBL_MANT_DIG <= 128 && LDBL_MIN_EXP - LDBL_MANT_DIG > -kExponentBias &&
              LDBL_MAX_EXP < kExponentBias);

// The C locale, whatever the process's own: the decimal point is always '.'.
locale_t c_locale() {
  static locale_t const locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

// --- -M ----------------------------------------------------------------------------------

constexpr std::array<char const*, 12> kMonths = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                 "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// --- -V ----------------------------------------------------------------------------------

enum VersionClass : std::uint8_t { kEmpty = 0x01, kDot, kDotDot, kDotName, kName };

// The byte that ends a non-digit run (before digits or at the end of the text) and the
// text itself. GNU orders the end of a run between '~' and every other non-digit.
constexpr std::uint8_t kRunEnd = 0x02;

// Non-digits by GNU's version order: '~' first, then letters in ASCII order, then every
// other byte in byte order. 1 + 52 + 193 weights fit above kRunEnd.
constexpr std::array<std::uint8_t, 256> kVersionWeight = [] {
  std::array<std::uint8_t, 256> weight{};
  int other = 3 + 52;
  for (int c = 0; c < 256; ++c) {
    auto const b = static_cast<std::uint8_t>(c);
    if (is_digit(b)) continue;
    if (c == '~') {
      weight[c] = 1;
    } else if (c >= 'A' && c <= 'Z') {
      weight[c] = static_cast<std::uint8_t>(3 + (c - 'A'));
    } else if (c >= 'a' && c <= 'z') {
      weight[c] = static_cast<std::uint8_t>(3 + 26 + (c - 'a'));
    } else {
      weight[c] = static_cast<std::uint8_t>(other++);
    }
  }
  return weight;
}();

// The text of -V read by index, so that it may live in the buffer being appended to.
struct TailText {
  Bytes const* bytes;
  std::size_t from;
  std::size_t count;
  std::uint8_t operator[](std::size_t i) const { return (*bytes)[from + i]; }
  std::size_t size() const { return count; }
};

// The length of the text without its file suffix: the longest tail of the form
// (\.[A-Za-z~][A-Za-z0-9~]*)*, never including the first byte.
template <typename Text>
std::size_t without_suffix(Text const& s) {
  std::size_t const n = s.size();
  std::size_t prefix = 0;
  std::size_t i = 0;
  while (i < n) {
    prefix = ++i;
    while (i + 1 < n && s[i] == '.' && (is_alpha(s[i + 1]) || s[i + 1] == '~')) {
      for (i += 2; i < n && (is_alpha(s[i]) || is_digit(s[i]) || s[i] == '~'); ++i) {
      }
    }
  }
  return prefix;
}

// The first `n` bytes of `s` as alternating runs: each non-digit run as its weights and
// kRunEnd, each digit run as its value (count, digits without leading zeros; a missing run
// is 0), and kRunEnd after the last value. A text that ends compares as continuing with
// empty runs and zeros, which kRunEnd after a value stands for: above '~', below the
// rest. Equal texts under GNU's order ("a" and "a00") get equal bytes.
template <typename Text>
void push_runs(Bytes& out, Text const& s, std::size_t n) {
  std::size_t i = 0;
  while (true) {
    for (; i < n && !is_digit(s[i]); ++i) out.push_back(kVersionWeight[s[i]]);
    out.push_back(kRunEnd);
    while (i < n && s[i] == '0') ++i;
    std::size_t const digits = i;
    while (i < n && is_digit(s[i])) ++i;
    push_count(out, i - digits);
    for (std::size_t k = digits; k < i; ++k) out.push_back(s[k]);
    if (i == n) break;
  }
  out.push_back(kRunEnd);
}

template <typename Text>
void push_version_of(Bytes& out, Text const& s) {
  std::size_t const n = s.size();
  if (n == 0) {
    out.push_back(kEmpty);
    return;
  }
  if (s[0] == '.') {
    if (n == 1) {
      out.push_back(kDot);
      return;
    }
    if (n == 2 && s[1] == '.') {
      out.push_back(kDotDot);
      return;
    }
    out.push_back(kDotName);
  } else {
    out.push_back(kName);
  }
  // GNU compares without the suffixes first, and the whole texts only on a tie.
  push_runs(out, s, without_suffix(s));
  push_runs(out, s, n);
}

}  // namespace

void push_numeric(Bytes& out, ByteView text) {
  std::uint8_t const* p = text.data();
  std::uint8_t const* const end = p + text.size();
  while (p < end && is_blank(*p)) ++p;
  bool const negative = p < end && *p == '-';
  p += negative;
  while (p < end && *p == '0') ++p;
  std::uint8_t const* const whole = p;
  while (p < end && is_digit(*p)) ++p;
  std::size_t const whole_digits = static_cast<std::size_t>(p - whole);
  std::uint8_t const* fraction = p;
  std::uint8_t const* fraction_end = p;
  if (p < end && *p == '.') {
    fraction = fraction_end = ++p;
    while (fraction_end < end && is_digit(*fraction_end)) ++fraction_end;
    while (fraction_end > fraction && fraction_end[-1] == '0') --fraction_end;
  }
  if (whole_digits == 0 && fraction == fraction_end) {
    out.push_back(kNumberZero);  // -0 and no number at all are 0 too
    return;
  }
  out.push_back(negative ? kNumberNegative : kNumberPositive);
  std::size_t const mark = out.size();
  push_count(out, whole_digits);
  out.insert(out.end(), whole, whole + whole_digits);
  out.insert(out.end(), fraction, fraction_end);
  out.push_back(0x00);  // below every digit: 0.5 < 0.51
  // A larger magnitude makes a smaller negative number.
  if (negative) complement(out, mark);
}

void push_human(Bytes& out, ByteView text, bool fold) {
  std::uint8_t const* p = text.data();
  std::uint8_t const* const end = p + text.size();
  while (p < end && is_blank(*p)) ++p;
  // The unit directly follows the number ("1.K" has one, "1.2.3K" none), and counts only
  // when some digit is not 0: "0K" is plain 0.
  std::uint8_t const* q = p;
  bool const negative = q < end && *q == '-';
  q += negative;
  std::uint8_t top_digit = '0';
  for (int part = 0; part < 2; ++part) {
    for (; q < end && is_digit(*q); ++q) top_digit = std::max(top_digit, *q);
    if (part == 1 || q == end || *q != '.') break;
    ++q;
  }
  std::uint8_t after = q < end ? *q : 0;
  if (fold && after >= 'a' && after <= 'z') after = static_cast<std::uint8_t>(after - 32);
  int const unit = top_digit > '0' ? unit_order(after) : 0;
  out.push_back(static_cast<std::uint8_t>(kUnitBase + (negative ? -unit : unit)));
  push_numeric(out, ByteView(p, static_cast<std::size_t>(end - p)));
}

void push_general(Bytes& out, ByteView text) {
  // strtold needs a terminated string: lend it the buffer's tail.
  std::size_t const mark = out.size();
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
  char const* const start = reinterpret_cast<char const*>(out.data() + mark);
  char* stop = nullptr;
  // Without a C locale object (newlocale failed for want of memory), the process's own.
  locale_t const locale = c_locale();
  long double const value =
      locale != locale_t{} ? strtold_l(start, &stop, locale) : std::strtold(start, &stop);
  bool const converted = stop != start;
  out.resize(mark);

  if (!converted) {
    out.push_back(kNotANumber);
  } else if (std::isnan(value)) {
    out.push_back(std::signbit(value) ? kNegativeNan : kNan);
  } else if (std::isinf(value)) {
    out.push_back(value < 0 ? kNegativeInfinity : kPositiveInfinity);
  } else if (value == 0) {
    out.push_back(kZero);
  } else {
    out.push_back(value < 0 ? kNegative : kPositive);
    int exponent = 0;
    // Exact: frexpl and ldexpl only move the binary point.
    long double const fraction = std::frexp(std::fabs(value), &exponent);
    __extension__ typedef unsigned __int128 U128;
    auto const significand = static_cast<U128>(std::ldexp(fraction, LDBL_MANT_DIG));
    std::uint8_t bytes[2 + kSignificandBytes];
    auto const biased = static_cast<unsigned>(exponent + kExponentBias);
    bytes[0] = static_cast<std::uint8_t>(biased >> 8);
    bytes[1] = static_cast<std::uint8_t>(biased);
    for (int i = 0; i < kSignificandBytes; ++i) {
      int const shift = 8 * (kSignificandBytes - 1 - i);
      bytes[2 + i] = static_cast<std::uint8_t>(significand >> shift);
    }
    std::size_t const from = out.size();
    out.insert(out.end(), bytes, bytes + sizeof bytes);
    if (value < 0) complement(out, from);
  }
}

void push_month(Bytes& out, ByteView text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  std::uint8_t month = 0;
  if (text.size() - i >= 3) {
    char name[3];
    for (int k = 0; k < 3; ++k) {
      std::uint8_t const c = text[i + k];
      name[k] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    for (std::size_t m = 0; m < kMonths.size(); ++m) {
      if (std::memcmp(name, kMonths[m], 3) == 0) month = static_cast<std::uint8_t>(m + 1);
    }
  }
  out.push_back(month);
}

void push_version(Bytes& out, ByteView text) { push_version_of(out, text); }

void replace_with_version(Bytes& out, std::size_t from) {
  std::size_t const count = out.size() - from;
  push_version_of(out, TailText{&out, from, count});
  out.erase(out.begin() + static_cast<std::ptrdiff_t>(from),
            out.begin() + static_cast<std::ptrdiff_t>(from + count));
}

void push_escaped(Bytes& out, ByteView text) {
  std::uint8_t const* p = text.data();
  std::uint8_t const* const end = p + text.size();
  while (p < end) {
    auto const* zero = static_cast<std::uint8_t const*>(std::memchr(p, 0, end - p));
    if (zero == nullptr) {
      out.insert(out.end(), p, end);
      break;
    }
    out.insert(out.end(), p, zero + 1);
    out.push_back(0xFF);
    p = zero + 1;
  }
  out.push_back(0x00);
  out.push_back(0x00);
}

}  // namespace lodestack::lines
