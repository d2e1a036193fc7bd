#include "lines/check.h"

#include <utility>

namespace lodestack::lines {

Checker::Checker(Keyer keyer, std::uint8_t end) : keyer_(std::move(keyer)), blocks_(end) {}

bool Checker::check(ByteView line) {
  key_.clear();
  keyer_.append_key(line, key_);
  ++lines_;
  if (lines_ > 1 && keyer_.out_of_order(previous_, key_)) {
    disorder_.emplace(Disorder{lines_, Bytes(line.begin(), line.end())});
    return false;
  }
  std::swap(previous_, key_);
  return true;
}

std::optional<Disorder> Checker::add(ByteView block) {
  if (!disorder_) blocks_.add(block, [this](ByteView line) { return check(line); });
  return disorder_;
}

std::optional<Disorder> Checker::end() {
  if (!disorder_) blocks_.finish([this](ByteView line) { return check(line); });
  return disorder_;
}

}  // namespace lodestack::lines
