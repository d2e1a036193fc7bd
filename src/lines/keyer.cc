#include "lines/keyer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <format>
#include <string>

#include "lines/encode.h"

namespace lodestack::lines {
namespace {

// is_blank as a table, for the field scans.
constexpr std::array<bool, 256> kBlank = [] {
  std::array<bool, 256> blank{};
  for (int c = 0; c < 256; ++c) blank[c] = is_blank(static_cast<std::uint8_t>(c));
  return blank;
}();

// What -i drops: everything but 0x20..0x7E.
constexpr std::array<bool, 256> kNonPrinting = [] {
  std::array<bool, 256> drop{};
  for (int c = 0; c < 256; ++c) drop[c] = c < 0x20 || c > 0x7E;
  return drop;
}();

// What -d drops: everything but blanks, letters and digits.
constexpr std::array<bool, 256> kNonDictionary = [] {
  std::array<bool, 256> drop{};
  for (int c = 0; c < 256; ++c) {
    bool const alnum =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    drop[c] = !alnum && !kBlank[c];
  }
  return drop;
}();

std::uint8_t upper(std::uint8_t c) {
  return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - ('a' - 'A')) : c;
}

void complement(Bytes& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
}

// The letters GNU names when a key's letters conflict: b and r never conflict and are left
// out, and i shows only when d does not override it.
std::string conflicting_letters(const Ordering& o) {
  std::string letters;
  if (o.dictionary) letters += 'd';
  if (o.fold) letters += 'f';
  if (o.general) letters += 'g';
  if (o.human) letters += 'h';
  if (o.nonprinting && !o.dictionary) letters += 'i';
  if (o.month) letters += 'M';
  if (o.numeric) letters += 'n';
  if (o.version) letters += 'V';
  return letters;
}

bool no_letters_but_reverse(Ordering o) {
  o.reverse = false;
  return o == Ordering{};
}

std::size_t skip_blanks(const std::uint8_t* s, std::size_t p, std::size_t n) {
  while (p < n && kBlank[s[p]]) ++p;
  return p;
}

// Past the blanks from `p`, then past the non-blanks: one blank-separated field, which
// includes the blanks before it.
std::size_t skip_field(const std::uint8_t* s, std::size_t p, std::size_t n) {
  p = skip_blanks(s, p, n);
  while (p < n && !kBlank[s[p]]) ++p;
  return p;
}

std::size_t advance(std::size_t p, std::size_t chars, std::size_t n) {
  return chars >= n - p ? n : p + chars;
}

}  // namespace

Result<Keyer> Keyer::make(const Settings& settings) {
  Keyer keyer;
  keyer.unique_ = settings.unique;
  keyer.separator_ = settings.separator ? *settings.separator : -1;

  // The global -b skips blanks before both ends.
  Ordering global = settings.global;
  global.blank_start = global.blank_end = global.blank_start || global.blank_end;

  std::vector<KeyField> fields;
  if (settings.keys.empty()) {
    // Without -k, the global letters other than r make the whole line a key of its own;
    // r alone reverses the plain comparison of lines.
    if (!no_letters_but_reverse(global)) fields.push_back({.ordering = global});
  }
  for (KeyField field : settings.keys) {
    if (field.ordering == Ordering{}) field.ordering = global;
    fields.push_back(field);
  }

  for (const KeyField& field : fields) {
    const Ordering& o = field.ordering;
    int const kinds = o.numeric + o.general + o.human + o.month +
                      (o.version || o.dictionary || o.nonprinting);
    if (kinds > 1) {
      return fail(Error::invalid(
          std::format("options '-{}' are incompatible", conflicting_letters(o))));
    }
  }

  bool whole_line_key = false;
  for (const KeyField& field : fields) {
    const Ordering& o = field.ordering;
    Component c;
    c.field = field;
    c.ignore = o.dictionary    ? kNonDictionary.data()
               : o.nonprinting ? kNonPrinting.data()
                               : nullptr;
    c.fold = o.fold;
    c.compare = o.numeric   ? Compare::kNumeric
                : o.general ? Compare::kGeneral
                : o.human   ? Compare::kHuman
                : o.month   ? Compare::kMonth
                : o.version ? Compare::kVersion
                            : Compare::kText;
    keyer.components_.push_back(c);
    // A key that is the whole line as it stands decides every tie itself: keys after it,
    // and the last resort, can only compare equal lines.
    whole_line_key = c.compare == Compare::kText && c.ignore == nullptr && !c.fold &&
                     !o.blank_start && field.start_field == 0 && field.start_char == 0 &&
                     field.end_field == kToLineEnd;
    if (whole_line_key) break;
  }

  if (keyer.components_.empty()) {
    keyer.key_is_line_ = true;
    keyer.reverse_all_ = settings.global.reverse;
    return keyer;
  }
  if (!settings.stable && !settings.unique && !whole_line_key) {
    keyer.last_resort_ = LastResort::kPlain;
  }

  // Reversing the whole key is free in the sorter; complementing costs a pass per part.
  bool all_reversed = keyer.last_resort_ == LastResort::kNone || settings.global.reverse;
  for (const Component& c : keyer.components_) all_reversed &= c.field.ordering.reverse;
  keyer.reverse_all_ = all_reversed;
  if (!all_reversed) {
    for (Component& c : keyer.components_) c.complement = c.field.ordering.reverse;
    if (keyer.last_resort_ != LastResort::kNone && settings.global.reverse) {
      keyer.last_resort_ = LastResort::kComplemented;
    }
  }
  for (std::size_t i = 0; i < keyer.components_.size(); ++i) {
    Component& c = keyer.components_[i];
    bool const last = i + 1 == keyer.components_.size() &&
                      keyer.last_resort_ == LastResort::kNone;
    c.escape = !last || c.complement;
  }
  keyer.key_is_line_ = whole_line_key && keyer.components_.size() == 1 &&
                       !keyer.components_[0].complement;
  return keyer;
}

std::pair<std::size_t, std::size_t> Keyer::locate(const KeyField& field, ByteView line) const {
  const std::uint8_t* const s = line.data();
  std::size_t const n = line.size();
  // Past `count` fields from `p`; with -t each ends after its separator, except that the
  // last may stop at it (`keep_last_separator`).
  auto const skip_fields = [&](std::size_t p, std::size_t count, bool keep_last_separator) {
    if (separator_ < 0) {
      for (; count > 0 && p < n; --count) p = skip_field(s, p, n);
      return p;
    }
    for (; count > 0 && p < n; --count) {
      auto const* sep = static_cast<const std::uint8_t*>(std::memchr(s + p, separator_, n - p));
      if (sep == nullptr) return n;
      p = static_cast<std::size_t>(sep - s) + (count > 1 || !keep_last_separator);
    }
    return p;
  };

  std::size_t const start_field = skip_fields(0, field.start_field, false);
  std::size_t begin = field.ordering.blank_start ? skip_blanks(s, start_field, n) : start_field;
  begin = advance(begin, field.start_char, n);
  if (field.end_field == kToLineEnd) return {begin, n};

  // The end: with a char count, that many bytes into end_field; without, the end of that
  // field, which with -t stops before the separator that follows it. The scan goes on from
  // the start's field when it lies before the end's.
  std::size_t const fields = field.end_char == 0 ? field.end_field + 1 : field.end_field;
  bool const keep = field.end_char == 0;
  std::size_t end = fields > field.start_field
                        ? skip_fields(start_field, fields - field.start_field, keep)
                        : skip_fields(0, fields, keep);
  if (field.end_char != 0) {
    if (field.ordering.blank_end) end = skip_blanks(s, end, n);
    end = advance(end, field.end_char, n);
  }
  return {begin, std::max(begin, end)};
}

void Keyer::append_component(const Component& c, ByteView text, Bytes& out) const {
  std::size_t const mark = out.size();
  switch (c.compare) {
    case Compare::kText:
      if (c.ignore == nullptr && !c.fold) {
        if (c.escape) {
          push_escaped(out, text);
        } else {
          out.insert(out.end(), text.begin(), text.end());
        }
        break;
      }
      for (std::uint8_t b : text) {
        if (c.ignore != nullptr && c.ignore[b]) continue;
        if (c.fold) b = upper(b);
        out.push_back(b);
        if (b == 0 && c.escape) out.push_back(0xFF);
      }
      if (c.escape) out.insert(out.end(), {0x00, 0x00});
      break;
    // -f changes nothing that -n, -g or -M read, and -d and -i cannot go with them.
    case Compare::kNumeric: push_numeric(out, text); break;
    case Compare::kGeneral: push_general(out, text); break;
    case Compare::kHuman: push_human(out, text, c.fold); break;
    case Compare::kMonth: push_month(out, text); break;
    case Compare::kVersion:
      if (c.ignore == nullptr && !c.fold) {
        push_version(out, text);
        break;
      }
      for (std::uint8_t b : text) {
        if (c.ignore != nullptr && c.ignore[b]) continue;
        out.push_back(c.fold ? upper(b) : b);
      }
      replace_with_version(out, mark);
      break;
  }
  if (c.complement) complement(out, mark);
}

void Keyer::append_key(ByteView line, Bytes& out) const {
  if (key_is_line_) {
    out.insert(out.end(), line.begin(), line.end());
    return;
  }
  for (const Component& c : components_) {
    auto const [begin, end] = locate(c.field, line);
    append_component(c, line.subspan(begin, end - begin), out);
  }
  switch (last_resort_) {
    case LastResort::kNone: break;
    case LastResort::kPlain: out.insert(out.end(), line.begin(), line.end()); break;
    case LastResort::kComplemented: {
      std::size_t const mark = out.size();
      push_escaped(out, line);
      complement(out, mark);
      break;
    }
  }
}

bool Keyer::out_of_order(ByteView previous, ByteView key) const {
  std::size_t const common = std::min(previous.size(), key.size());
  int order = common == 0 ? 0 : std::memcmp(previous.data(), key.data(), common);
  if (order == 0) order = (previous.size() > key.size()) - (previous.size() < key.size());
  if (reverse_all_) order = -order;
  return unique_ ? order >= 0 : order > 0;
}

}  // namespace lodestack::lines
