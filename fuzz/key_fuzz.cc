// The key encoder's byte layer against exact references: four values appended to one buffer
// must compare as their references do, and no encoding may be a prefix of an unequal value's.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "key/key.h"

namespace {

using lodestack::Bytes;
namespace key = lodestack::key;

constexpr std::size_t kFraction = 142, kWidth = 448;  // bytes of the numbers' fixed point

void check(bool ok, const char* what) {
  if (!ok) throw std::logic_error(what);
}

Bytes be64(std::uint64_t x) {
  Bytes out(8);
  for (int i = 7; i >= 0; --i, x >>= 8) out[i] = static_cast<std::uint8_t>(x);
  return out;
}

// A number's reference: tag, class `cls` (-inf, finite, +inf, NaN), sign, then the magnitude
// m * 256^zeros (m big-endian) in kWidth bytes of 2^-1136 units, complemented below zero.
Bytes number(int cls, bool negative, Bytes m, std::size_t zeros) {
  negative = negative && std::ranges::any_of(m, [](std::uint8_t b) { return b != 0; });
  Bytes ref{key::kTagNumber, static_cast<std::uint8_t>(cls), !negative};
  ref.resize(3 + kWidth);
  std::ranges::copy(m, ref.end() - zeros - m.size());
  for (std::size_t i = 3; negative && i < ref.size(); ++i) ref[i] = ~ref[i];
  return ref;
}

Bytes real(double d, Bytes& out) {
  key::push_double(out, d);
  int e = 0;
  const double f = std::isfinite(d) ? std::frexp(std::fabs(d), &e) : 0;  // |d| = f * 2^e
  const int shift = e - 53 + 8 * static_cast<int>(kFraction);            // at least 10
  const Bytes m = be64(static_cast<std::uint64_t>(std::ldexp(f, 53)) << shift % 8);
  return number(std::isnan(d) ? 3 : std::isinf(d) ? 2 * (d > 0) : 1, d < 0, m, shift / 8);
}

Bytes consume(FuzzedDataProvider& in, const Bytes& before, Bytes& out) {
  bool negative = in.ConsumeBool();
  Bytes m;
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {
      const auto i = in.ConsumeIntegral<std::int64_t>();
      key::push_i64(out, i);
      return number(1, i < 0, be64(i < 0 ? 0 - static_cast<std::uint64_t>(i) : i), kFraction);
    }
    case 1: {  // runs of 0x00 or 0xFF between random ends: the edges of powers of two
      m = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 2));
      const std::size_t run = in.ConsumeIntegralInRange(0, 290);
      m.resize(m.size() + run, in.ConsumeBool() ? 0xFF : 0);
      m.append_range(in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 8)));
      break;
    }
    case 2:  // from raw bits; -0.0 when the input has run out
      return real(std::bit_cast<double>(in.ConsumeIntegral<std::int64_t>()), out);
    case 3:  // where ints and doubles meet most
      return real(std::ldexp(in.ConsumeIntegral<int>(), in.ConsumeIntegralInRange(-2, 80)),
                  out);
    case 4:  // the integer part of the number before; 0 after a string
      negative = before.size() > kWidth && before[2] == 0;
      if (before.size() > kWidth) m.assign(before.begin() + 3, before.end() - kFraction);
      for (std::uint8_t& b : m) b = negative ? ~b : b;
      break;
    default:
      m = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 40));
      key::push_escaped(out, negative ? key::kTagStr : key::kTagBytes, m);
      m.insert(m.begin(), negative ? key::kTagStr : key::kTagBytes);
      return m;
  }
  key::push_big_int(out, negative, m);
  return number(1, negative, m, kFraction);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Bytes ref[4], enc[4], buffer;
  for (int i = 0; i < 4; ++i) {
    const Bytes held = buffer;
    ref[i] = consume(in, i > 0 ? ref[i - 1] : Bytes{}, buffer);
    check(std::ranges::starts_with(buffer, held), "an encoder changed what the buffer held");
    enc[i].assign(buffer.begin() + held.size(), buffer.end());
    for (int j = 0; j < i; ++j) {
      check((enc[j] <=> enc[i]) == (ref[j] <=> ref[i]), "two values misorder");
      const auto [a, b] = std::ranges::mismatch(enc[i], enc[j]);  // one ends first: a prefix
      check(ref[i] == ref[j] || (a != enc[i].end() && b != enc[j].end()), "a prefix encoding");
    }
  }
  return 0;
}
