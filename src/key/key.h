// The byte layer of the sort key encoding: appends order-preserving encodings to a buffer.
//
// Key bytes are compared as plain unsigned byte strings (the first differing byte decides,
// a proper prefix sorts first). Each function here appends the encoding of one value so that
// this comparison gives the value's natural order, and so that no encoding is a proper
// prefix of another encoding of the same kind: values can then be concatenated inside a
// tuple or list and still compare element by element.
//
// Every value starts with a tag byte, which orders the kinds:
//   None < numbers < str < bytes < tuple < list, and the end of a sequence below them all.
//
// Numbers (ints of any size and doubles) share one order. A number x is written as the tag,
// the 8-byte order image of the largest double D not above x, and a remainder field holding
// x - D, so an int and a double of equal value get equal bytes. The ends of the double range
// are special: integers of 2^1024 and above sit below +inf with D = DBL_MAX and the whole
// value as remainder; integers below -DBL_MAX sit above -inf with a marker byte 0x01 and the
// complemented magnitude, so that larger magnitudes sort first.
//
// The functions only append to the caller's buffer, never clear it, and allocate nothing
// beyond the buffer's own growth. They keep no state and may run on any thread at once,
// each with its own buffer. The walk over Python values that calls them is
// src/python/encode.cc.
#ifndef LODESTACK_KEY_KEY_H_
#define LODESTACK_KEY_KEY_H_

#include <cstdint>

#include "key/bytes.h"

namespace lodestack::key {

// The first byte of every encoded value, and the byte that closes a tuple or list.
inline constexpr std::uint8_t kTagEnd = 0x00;
inline constexpr std::uint8_t kTagNone = 0x10;
inline constexpr std::uint8_t kTagNumber = 0x20;
inline constexpr std::uint8_t kTagStr = 0x30;
inline constexpr std::uint8_t kTagBytes = 0x40;
inline constexpr std::uint8_t kTagTuple = 0x50;
inline constexpr std::uint8_t kTagList = 0x60;

// Appends `tag`, then `data` with every 0x00 written as 0x00 0xFF, then 0x00 0x00. The
// terminator sorts below an escaped zero and below every other byte, so a string that is a
// prefix of another sorts first.
void push_escaped(Bytes& buffer, std::uint8_t tag, ByteView data);

// Appends the order-preserving, prefix-free form of the unsigned integer whose big-endian
// bytes are `big_endian` (leading zeros allowed): the count m of significant bytes, as one
// byte when m <= 254 or as 0xFF and 8 big-endian bytes otherwise, then those m bytes.
void push_unsigned(Bytes& buffer, ByteView big_endian);

// Appends the number encoding of the integer whose absolute value has the big-endian bytes
// `magnitude` (any length, leading zeros allowed) and whose sign is `negative`. A zero
// magnitude encodes as 0 whatever `negative` says.
void push_big_int(Bytes& buffer, bool negative, ByteView magnitude);

// Appends the number encoding of a 64-bit integer; the same bytes as push_big_int gives.
void push_i64(Bytes& buffer, std::int64_t value);

// Appends the number encoding of a double. Every NaN encodes as the one canonical quiet NaN
// (above +inf), and -0.0 as +0.0, since Python holds them equal.
void push_double(Bytes& buffer, double value);

}  // namespace lodestack::key

#endif  // LODESTACK_KEY_KEY_H_
