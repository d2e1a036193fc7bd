#include "lines/options.h"

#include <cstdint>
#include <format>

namespace lodestack::lines {
namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a count as GNU sort does (strtoumax without a sign): leading white space, an
// optional '+', then digits, saturating at SIZE_MAX. Advances `rest` past the digits; no
// value when there are none.
std::optional<std::size_t> take_count(std::string_view& rest) {
  std::size_t i = 0;
  while (i < rest.size() && is_space(rest[i])) ++i;
  if (i < rest.size() && rest[i] == '+') ++i;
  if (i == rest.size() || !is_digit(rest[i])) return std::nullopt;
  std::size_t value = 0;
  for (; i < rest.size() && is_digit(rest[i]); ++i) {
    std::size_t const digit = static_cast<std::size_t>(rest[i] - '0');
    value = value > (kToLineEnd - digit) / 10 ? kToLineEnd : value * 10 + digit;
  }
  rest.remove_prefix(i);
  return value;
}

Error bad_count(std::string_view what, std::string_view at) {
  return Error::invalid(std::format("{}: invalid count at start of '{}'", what, at));
}

Error bad_spec(std::string_view why, std::string_view spec) {
  return Error::invalid(std::format("{}: invalid field specification '{}'", why, spec));
}

// Takes the ordering letters at the front of `rest`.
void take_letters(std::string_view& rest, Ordering& ordering, bool at_end) {
  while (!rest.empty() && ordering.set(rest.front(), at_end)) rest.remove_prefix(1);
}

}  // namespace

bool Ordering::set(char letter, bool at_end) {
  switch (letter) {
    case 'b': (at_end ? blank_end : blank_start) = true; return true;
    case 'd': dictionary = true; return true;
    case 'f': fold = true; return true;
    case 'g': general = true; return true;
    case 'h': human = true; return true;
    case 'i': nonprinting = true; return true;
    case 'M': month = true; return true;
    case 'n': numeric = true; return true;
    case 'r': reverse = true; return true;
    case 'V': version = true; return true;
    default: return false;
  }
}

Result<KeyField> parse_key(std::string_view spec) {
  KeyField key;
  std::string_view rest = spec;

  auto const start_field = take_count(rest);
  if (!start_field) return fail(bad_count("invalid number at field start", rest));
  if (*start_field == 0) return fail(bad_spec("field number is zero", spec));
  key.start_field = *start_field - 1;
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    auto const start_char = take_count(rest);
    if (!start_char) return fail(bad_count("invalid number after '.'", rest));
    if (*start_char == 0) return fail(bad_spec("character offset is zero", spec));
    key.start_char = *start_char - 1;
  }
  take_letters(rest, key.ordering, false);

  if (!rest.empty() && rest.front() == ',') {
    rest.remove_prefix(1);
    auto const end_field = take_count(rest);
    if (!end_field) return fail(bad_count("invalid number after ','", rest));
    if (*end_field == 0) return fail(bad_spec("field number is zero", spec));
    key.end_field = *end_field - 1;
    if (!rest.empty() && rest.front() == '.') {
      rest.remove_prefix(1);
      auto const end_char = take_count(rest);
      if (!end_char) return fail(bad_count("invalid number after '.'", rest));
      key.end_char = *end_char;  // 0 is allowed here: the end of the field
    }
    take_letters(rest, key.ordering, true);
  }

  if (!rest.empty()) {
    if (rest.front() == 'R') {
      return fail(bad_spec("random order (R) is not supported", spec));
    }
    return fail(bad_spec("stray character in field spec", spec));
  }
  return key;
}

}  // namespace lodestack::lines
