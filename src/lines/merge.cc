#include "lines/merge.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace lodestack::lines {
namespace {

constexpr std::size_t kReadBytes = 1 << 18;
constexpr std::size_t kWriteBytes = 1 << 20;
constexpr std::uint64_t kStopCheckLines = 65536;

// One input: a buffer holding its current line and what was read after it.
class Input final {
 public:
  Input(int fd, std::uint8_t end) : fd_(fd), end_(end), buffer_(kReadBytes) {}

  // Moves to the next line: true when there is one, false at the end of the input.
  Result<bool> next(const sorter::Stop& stop, std::atomic<std::uint64_t>& read) {
    begin_ = line_end_;
    for (;;) {
      std::size_t const left = filled_ - begin_;
      auto const* found = static_cast<const std::uint8_t*>(
          left == 0 ? nullptr : std::memchr(buffer_.data() + begin_, end_, left));
      if (found != nullptr) {
        line_ = ByteView(buffer_.data() + begin_,
                         static_cast<std::size_t>(found - buffer_.data()) - begin_);
        line_end_ = begin_ + line_.size() + 1;
        return true;
      }
      if (at_eof_) {
        line_ = ByteView(buffer_.data() + begin_, left);
        line_end_ = filled_;
        return left != 0;
      }
      // Keep the start of the line at the front, and grow for a line longer than the
      // buffer.
      std::memmove(buffer_.data(), buffer_.data() + begin_, left);
      begin_ = line_end_ = 0;
      filled_ = left;
      if (buffer_.size() - filled_ < kReadBytes / 2) buffer_.resize(buffer_.size() * 2);
      Result<std::size_t> got = read_some(fd_, std::span(buffer_).subspan(filled_), stop);
      if (!got) return fail(std::move(got.error()));
      if (*got == 0) at_eof_ = true;
      filled_ += *got;
      read.fetch_add(*got, std::memory_order_relaxed);
    }
  }

  ByteView line() const { return line_; }
  Bytes& key() { return key_; }

 private:
  int fd_;
  std::uint8_t end_;
  Bytes buffer_;
  std::size_t begin_ = 0;     // where the current line starts
  std::size_t line_end_ = 0;  // just past the current line's end byte
  std::size_t filled_ = 0;    // bytes of `buffer_` read
  bool at_eof_ = false;
  ByteView line_;
  Bytes key_;  // the current line's key, unless the key is the line
};

int compare_bytes(ByteView a, ByteView b) {
  std::size_t const common = std::min(a.size(), b.size());
  int const order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  if (order != 0) return order;
  return (a.size() > b.size()) - (a.size() < b.size());
}

}  // namespace

Outcome merge_inputs(const Keyer& keyer, std::uint8_t end, std::span<const int> inputs,
                     int output, const sorter::Stop& stop, MergeCounters& counters) {
  bool const key_is_line = keyer.key_is_line();
  bool const reverse = keyer.reverse_all();
  std::vector<Input> sources;
  sources.reserve(inputs.size());
  for (int const fd : inputs) sources.emplace_back(fd, end);
  auto key_of = [&](std::size_t i) -> ByteView {
    return key_is_line ? sources[i].line() : ByteView(sources[i].key());
  };
  // Whether input a's line goes before input b's.
  auto before = [&](std::size_t a, std::size_t b) {
    int order = compare_bytes(key_of(a), key_of(b));
    if (reverse) order = -order;
    return order != 0 ? order < 0 : a < b;
  };
  auto advance = [&](std::size_t i) -> Result<bool> {
    Result<bool> more = sources[i].next(stop, counters.read);
    if (more && *more && !key_is_line) {
      sources[i].key().clear();
      keyer.append_key(sources[i].line(), sources[i].key());
    }
    return more;
  };

  // A binary heap of the inputs that have a current line, the first in order on top.
  std::vector<std::size_t> heap;
  heap.reserve(sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    Result<bool> more = advance(i);
    if (!more) return fail_at(Failure::Side::kInput, std::move(more.error()), i);
    if (*more) heap.push_back(i);
  }
  auto const after = [&](std::size_t a, std::size_t b) { return before(b, a); };
  std::make_heap(heap.begin(), heap.end(), after);

  Bytes out;
  out.reserve(kWriteBytes + kReadBytes);
  Bytes last_key;  // with -u: the key of the last line written
  bool wrote_any = false;
  std::uint64_t lines = 0;
  auto flush = [&]() -> Outcome {
    Result<void> wrote = write_all(output, out, stop);
    if (!wrote) return fail_at(Failure::Side::kOutput, std::move(wrote.error()));
    counters.written.fetch_add(out.size(), std::memory_order_relaxed);
    out.clear();
    return {};
  };

  while (!heap.empty()) {
    std::size_t const top = heap.front();
    ByteView const key = key_of(top);
    if (!keyer.unique() || !wrote_any || compare_bytes(last_key, key) != 0) {
      ByteView const line = sources[top].line();
      out.insert(out.end(), line.begin(), line.end());
      out.push_back(end);
      if (keyer.unique()) last_key.assign(key.begin(), key.end());
      wrote_any = true;
      if (out.size() >= kWriteBytes) {
        Outcome flushed = flush();
        if (!flushed) return flushed;
      }
    }
    if (++lines % kStopCheckLines == 0 && stop && stop()) {
      return fail_at(Failure::Side::kOutput, Error::io(ErrorKind::kInterrupted));
    }
    std::pop_heap(heap.begin(), heap.end(), after);
    Result<bool> more = advance(top);
    if (!more) return fail_at(Failure::Side::kInput, std::move(more.error()), top);
    if (*more) {
      std::push_heap(heap.begin(), heap.end(), after);
    } else {
      heap.pop_back();
    }
  }
  return flush();
}

}  // namespace lodestack::lines
