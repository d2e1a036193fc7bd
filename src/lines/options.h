// GNU sort's ordering options, as this library takes them: the letters of one key or of the
// whole command, the -k positions, and the settings that shape a line's sort key.
//
// The command line parses its arguments into `Settings` (parse_key reads a -k KEYDEF with
// GNU sort's syntax and error texts; Ordering::set takes one ordering letter) and hands them
// to `Keyer::make` (lines/keyer.h), which resolves inheritance, checks the letters for
// conflicts and builds the per-line key machinery. Everything here is plain data: copy it,
// read it from any thread.
//
// Semantics, in the C locale, as GNU sort 9.10 has them:
// - A key with no ordering letters takes every global one (b, d, f, g, h, i, M, n, V and
//   r); a key with any letter, even r or b alone, takes none.
// - Without -k, the whole line is the key, with the global letters.
// - Blanks are space, tab and newline (newline matters only with -z).
#ifndef LODESTACK_LINES_OPTIONS_H_
#define LODESTACK_LINES_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "error/error.h"

namespace lodestack::lines {

// The ordering letters of one key, or the global ones. Letters only accumulate; which of
// them may go together is checked by Keyer::make, once inheritance is resolved.
struct Ordering {
  bool blank_start = false;  // b on POS1 (or global -b): skip blanks before the start
  bool blank_end = false;    // b on POS2 (or global -b): skip blanks before the end char
  bool dictionary = false;   // d: only blanks and letters and digits count
  bool fold = false;         // f: a-z compare as A-Z
  bool general = false;      // g: numbers as strtold reads them
  bool human = false;        // h: numbers with a K, M, G, ... unit
  bool nonprinting = false;  // i: only bytes 0x20..0x7E count (d wins over i)
  bool month = false;        // M: JAN < ... < DEC, anything else before JAN
  bool numeric = false;      // n: decimal numbers
  bool reverse = false;      // r
  bool version = false;      // V: version strings, as GNU's filevercmp orders them

  // Applies the letter `letter` ("bdfghiMnrV"); `at_end` says it follows POS2, where b
  // means blank_end. False, and nothing changed, for any other byte (R among them: random
  // order is not supported).
  bool set(char letter, bool at_end = false);

  bool operator==(const Ordering&) const = default;
};

// Means "no end position": the key runs to the end of the line.
inline constexpr std::size_t kToLineEnd = std::numeric_limits<std::size_t>::max();

// One -k POS1[,POS2], counted from 0 and clamped as GNU sort clamps it. A count too large
// for size_t saturates, so `-k 99999999999999999999` is valid and selects nothing.
struct KeyField {
  std::size_t start_field = 0;  // fields before the key's first one
  std::size_t start_char = 0;   // bytes skipped inside that field (after b's blanks)
  // The field holding the key's end (counted from 0), or kToLineEnd.
  std::size_t end_field = kToLineEnd;
  // Bytes of the end field the key keeps, counted from its start (after b's blanks);
  // 0 keeps the whole field.
  std::size_t end_char = 0;
  Ordering ordering;

  bool operator==(const KeyField&) const = default;
};

// Parses a KEYDEF, F[.C][OPTS][,F[.C][OPTS]]. Errors are Invalid with GNU sort's text
// after "sort: ", such as "field number is zero: invalid field specification '0'".
Result<KeyField> parse_key(std::string_view spec);

// Everything that decides how lines compare.
struct Settings {
  std::vector<KeyField> keys;               // -k, in order given; none: the whole line
  Ordering global;                          // the letters given as options; set('b') is -b
  std::optional<std::uint8_t> separator;    // -t SEP; none: fields follow blanks
  bool stable = false;                      // -s: no last-resort comparison of whole lines
  bool unique = false;                      // -u: equal keys make duplicates (implies -s)
};

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_OPTIONS_H_
