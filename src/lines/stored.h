// How a line travels through the sorter as a record, and how it is read back.
//
// A record is a key and a payload. The line itself (without its end byte) is kept once:
// as the key when the key is the line, as the tail of the key when the key ends with the
// line (GNU's last-resort comparison), then with only its length, in LEB128, as the
// payload; otherwise as the payload. Holding each line once rather than twice halves the
// memory and the spilled bytes of a keyed sort.
//
// Plain functions of their arguments: call them from any thread.
#ifndef LODESTACK_LINES_STORED_H_
#define LODESTACK_LINES_STORED_H_

#include <cstddef>
#include <cstdint>

#include "key/bytes.h"
#include "lines/keyer.h"

namespace lodestack::lines {

enum class Stored : std::uint8_t { kKeyIsLine, kKeyEndsWithLine, kPayloadIsLine };

inline Stored stored_form(const Keyer& keyer) {
  if (keyer.key_is_line()) return Stored::kKeyIsLine;
  if (keyer.key_ends_with_line()) return Stored::kKeyEndsWithLine;
  return Stored::kPayloadIsLine;
}

// The length of a line, as the payload of a kKeyEndsWithLine record. `out` is cleared.
inline void put_length(Bytes& out, std::size_t length) {
  out.clear();
  do {
    std::uint8_t const low = length & 0x7F;
    length >>= 7;
    out.push_back(length != 0 ? (low | 0x80) : low);
  } while (length != 0);
}

// The line a record holds. REQUIRES: the record was made under `form` (a length no
// larger than the key, for kKeyEndsWithLine).
inline ByteView line_of(Stored form, ByteView key, ByteView payload) {
  switch (form) {
    case Stored::kKeyIsLine: return key;
    case Stored::kPayloadIsLine: return payload;
    case Stored::kKeyEndsWithLine: break;
  }
  std::size_t length = 0;
  int shift = 0;
  for (std::uint8_t const b : payload) {
    length |= static_cast<std::size_t>(b & 0x7F) << shift;
    shift += 7;
  }
  return key.last(length);
}

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_STORED_H_
