// Turns lines of text into sort keys whose plain byte order is GNU sort's order (coreutils
// 9.10, LC_ALL=C) under a given set of options: -k, -t, -b, -d, -f, -g, -h, -i, -M, -n,
// -r, -V, -s and -u.
//
// The sorter orders items by key bytes compared as unsigned byte strings, a proper prefix
// first, equal keys in the order added; it can also sort descending (equal keys still in
// the order added) and keep only the first of each run of equal keys. A Keyer says which
// of those to ask for (reverse_all(), unique()) and appends each line's key:
//
//   auto keyer = lines::Keyer::make(settings);   // Result: conflicting letters fail
//   Bytes key;
//   for (ByteView line : lines) {                // without the line end byte
//     key.clear();
//     keyer->append_key(line, key);
//     sorter.add(key, line_with_its_end);
//   }
//
// A key is the concatenation of one component per -k (GNU compares keys in turn), each
// in the encoding of its ordering (lines/encode.h), complemented when that key alone is
// reversed, and then, unless -s or -u, the whole line: GNU's last-resort comparison, which
// a global -r reverses too. When every part is reversed, as with a plain -r, nothing is
// complemented and reverse_all() asks the sorter to sort descending instead.
//
// Cost: fields are found by scanning the line once per key position, so a key costs time in
// proportion to the bytes and fields before its end, never to the field numbers asked for.
// append_key allocates nothing beyond the growth of the caller's buffer; reuse one buffer
// across lines and the cost is a few copies of the key's bytes.
//
// A Keyer is immutable after make(): its const methods may run on any threads at once,
// each with its own output buffer. It holds no pointers into the Settings it was made from.
#ifndef LODESTACK_LINES_KEYER_H_
#define LODESTACK_LINES_KEYER_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "error/error.h"
#include "key/bytes.h"
#include "lines/options.h"

namespace lodestack::lines {

class Keyer final {
 public:
  // Resolves which keys take the global letters and checks each key's letters: at most one
  // of n, g, h, M and (V or d or i). A conflict fails as Invalid with GNU sort's text after
  // "sort: ", such as "options '-dn' are incompatible".
  static Result<Keyer> make(const Settings& settings);

  // Appends the key of `line` (without its end byte) to `out`, leaving what `out` held.
  void append_key(ByteView line, Bytes& out) const;

  // True when every line's key is the line itself (no ordering letters but r, or a first
  // key that is the whole line unchanged): append_key then only copies, and a caller may
  // use the line as its key without calling it.
  bool key_is_line() const { return key_is_line_; }

  // True when every line's key ends with the line itself, unchanged (GNU's last-resort
  // comparison, not reversed): a caller may then keep the line's length instead of a copy.
  bool key_ends_with_line() const { return last_resort_ == LastResort::kPlain; }

  // True when the sorter must sort descending: the keys are built unreversed.
  bool reverse_all() const { return reverse_all_; }

  // True with -u: keep only the first line of each run of equal keys.
  bool unique() const { return unique_; }

  // For -c and -C: whether a line whose key is `key` may not follow one whose key is
  // `previous`, in the order this Keyer sorts (with -u, equal keys are out of order too).
  bool out_of_order(ByteView previous, ByteView key) const;

 private:
  // How one key's text turns into bytes.
  enum class Compare : std::uint8_t { kText, kNumeric, kGeneral, kHuman, kMonth, kVersion };

  struct Component {
    KeyField field;
    // Bytes that -d or -i drop (a table of 256 flags), or null.
    bool const* ignore = nullptr;
    bool fold = false;
    Compare compare = Compare::kText;
    // This key is reversed and the sorter's reverse does not do it.
    bool complement = false;
    // Text must be made prefix-free: another part follows, or it is complemented.
    bool escape = false;
  };

  // The last-resort comparison of whole lines.
  enum class LastResort : std::uint8_t { kNone, kPlain, kComplemented };

  Keyer() = default;

  // Where a key's text lies in `line`: [begin, end), with end >= begin.
  std::pair<std::size_t, std::size_t> locate(const KeyField& field, ByteView line) const;
  void append_component(const Component& component, ByteView text, Bytes& out) const;

  // Constant after make().
  std::vector<Component> components_;
  LastResort last_resort_ = LastResort::kNone;
  int separator_ = -1;  // the -t byte, or -1 for blank-separated fields
  bool key_is_line_ = false;
  bool reverse_all_ = false;
  bool unique_ = false;
};

}  // namespace lodestack::lines

#endif  // LODESTACK_LINES_KEYER_H_
