#include "lines/feed.h"

#include <utility>

namespace lodestack::lines {

LineFeeder::LineFeeder(Keyer keyer, std::uint8_t end)
    : keyer_(std::move(keyer)), stored_(stored_form(keyer_)), blocks_(end) {}

Result<void> LineFeeder::push(ByteView line, sorter::Sorter& core, const sorter::Stop& stop) {
  Result<void> pushed;
  switch (stored_) {
    case Stored::kKeyIsLine: pushed = core.push(line, {}, stop); break;
    case Stored::kKeyEndsWithLine:
      key_.clear();
      keyer_.append_key(line, key_);
      put_length(payload_, line.size());
      pushed = core.push(key_, payload_, stop);
      break;
    case Stored::kPayloadIsLine:
      key_.clear();
      keyer_.append_key(line, key_);
      pushed = core.push(key_, line, stop);
      break;
  }
  if (pushed) ++lines_;
  return pushed;
}

Result<void> LineFeeder::add(ByteView block, sorter::Sorter& core, const sorter::Stop& stop) {
  Result<void> outcome;
  blocks_.add(block, [&](ByteView line) {
    outcome = push(line, core, stop);
    return outcome.has_value();
  });
  return outcome;
}

Result<void> LineFeeder::end(sorter::Sorter& core, const sorter::Stop& stop) {
  Result<void> outcome;
  blocks_.finish([&](ByteView line) {
    outcome = push(line, core, stop);
    return outcome.has_value();
  });
  return outcome;
}

}  // namespace lodestack::lines
