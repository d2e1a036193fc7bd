// Order-preserving byte encodings of one key's text under each of GNU sort's orderings, in
// the C locale: appending the encodings of two texts and comparing the results as unsigned
// byte strings (a proper prefix first) gives GNU sort's comparison of those texts.
//
// Every encoding here is prefix-free (no encoding is a proper prefix of another), so it may
// be followed by another key's encoding, and complementing each of its bytes reverses its
// order. Texts that GNU sort holds equal encode to identical bytes (`1`, `01` and `1.0` for
// -n; `-0`, `0` and `+0` for -g; `a` and `a0` for -V), so the sorter's tie handling applies.
//
// The text is the key as it stands after -b, -d, -i and -f; each ordering skips leading
// blanks (or, for -g, white space) itself where GNU's does. The functions only append to
// `out`, allocate nothing beyond its growth, keep no state, and may run on any thread at
// once with distinct buffers. REQUIRES: `text` does not point into `out`.
#ifndef LODESTACK_LINES_ENCODE_H_
#define LODESTACK_LINES_ENCODE_H_

#include <cstddef>
#include <cstdint>

#include "key/bytes.h"

namespace lodestack::lines {

// Blanks as GNU sort counts them: space, tab and newline.
constexpr bool is_blank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n'; }

// -n: `-`? digits (`.` digits)? after leading blanks, by exact value; anything else (`+1`,
// `abc`, ``) is 0. Zero is [0x02]; a positive number [0x03, L, integer digits without
// leading zeros, fraction digits without trailing zeros, 0x00] where L orders the integer
// digit count (one byte below 0xFF, else 0xFF and 8 big-endian bytes); a negative one is
// 0x01 and the positive form of its magnitude complemented.
void push_numeric(Bytes& out, ByteView text);

// -h: the unit (K, k, M, G, T, P, E, Z, Y, R, Q right after the number, counted 1..10,
// negated for a negative number, 0 for a zero number or none) as the byte 0x40 + unit, then
// the -n encoding of the number. With `fold` (-f) the unit is read as upper case, so that
// "1m" is a mebi.
void push_human(Bytes& out, ByteView text, bool fold);

// -g: the text as strtold reads it in the C locale. One tag byte (conversion error, -nan,
// nan, -inf, negative, zero, positive, +inf), then for finite non-zero numbers the binary
// exponent (2 bytes) and the significand, complemented when negative. -0 is 0; NaNs equal
// others of the same sign whatever their payload. Uses `out`'s tail as scratch, so that the
// text can be NUL-terminated without an allocation.
void push_general(Bytes& out, ByteView text);

// -M: one byte, 1..12 for a text that starts (after blanks) with a month's first three
// letters in any case, else 0.
void push_month(Bytes& out, ByteView text);

// -V: GNU's version order (filevercmp over the whole text, bytes past a NUL included). A
// class byte (empty, ".", "..", other names starting with '.', the rest), then, for the
// last two, the sequence of non-digit runs and digit values of the text without its file
// suffix (the longest tail matching (\.[A-Za-z~][A-Za-z0-9~]*)*), then of the whole text.
void push_version(Bytes& out, ByteView text);

// push_version of out[from, out.size()), which it replaces: for texts that -d, -i or -f
// first rewrote into `out`'s tail.
void replace_with_version(Bytes& out, std::size_t from);

// Appends `text` with each 0x00 written as 0x00 0xFF, then 0x00 0x00: byte order with a
// prefix first, made prefix-free.
void push_escaped(Bytes& out, ByteView text);

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_ENCODE_H_
