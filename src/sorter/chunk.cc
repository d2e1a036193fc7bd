#include "sorter/chunk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace lodestack::sorter {

namespace {

// Floors of the doubling growth, so that a new chunk does not reallocate for each of its
// first items.
constexpr std::uint64_t kMinBytesCapacity = 65536;
constexpr std::uint64_t kMinEntriesCapacity = 1024;

// n * budget overflows 64 bits for budgets past 4 GiB.
__extension__ typedef unsigned __int128 Wide;

// ---------------------------------------------------------------------------------------
// The sort.
//
// An in-place MSD radix sort (American flag sort) on the key bytes. Bucket 0 of a pass at
// depth d takes the keys that end at d: they are all equal, so they only need ordering by
// insertion. Buckets 1 to 256 take the keys whose byte d is 0 to 255.
//
// Reading a key byte means following an entry's offset into the byte buffer, a likely
// cache miss once the entries have moved. So a range of at most kBlockEntries entries is
// copied into a scratch buffer together with 8 key bytes loaded once as a big-endian
// integer, and sorted there by those cached bytes, two at a time, with stable counting
// passes; the key bytes are touched again only to break ties the prefix cannot decide.
// The scratch is bounded by kBlockEntries, never proportional to the chunk.
//
// On a pool, each pass over a large range is counted and carried out by all workers, and
// its buckets become jobs for them.
//
// The comparator is a strict order on distinguishable entries (key bytes, then offset,
// then payload length), so this unstable sort gives exactly the order any other correct
// sort gives: keys ascending, equal keys in insertion order.

constexpr std::size_t kBuckets = 257;
// 32Ki records of 24 bytes and as many spare ones: 1.5 MiB, which stays within a core's
// L2 cache.
constexpr std::size_t kBlockEntries = std::size_t{1} << 15;
// Below this many records a radix pass costs more than it saves.
constexpr std::size_t kInsertionEntries = 24;
// A range this small is sorted by one worker: handing it out would cost more than it
// gains.
constexpr std::size_t kParallelEntries = std::size_t{1} << 17;
// At most this many workers share one pass; their bounds stay on the stack.
constexpr std::size_t kMaxStripes = 8;

using Counts = std::array<std::size_t, kBuckets>;
using Starts = std::array<std::size_t, kBuckets + 1>;

// Where the entries' key bytes live. Read-only while sorting, so any number of workers
// may share it.
struct Keys {
  const std::uint8_t* bytes;
  std::uint64_t bytes_len;

  const std::uint8_t* key(const Entry& e, std::uint64_t at) const {
    return bytes + e.offset + at;
  }

  unsigned digit(const Entry& e, std::uint64_t depth) const {
    return depth < e.key_len ? 1u + bytes[e.offset + depth] : 0u;
  }

  // Key bytes [at, at + 8) as a big-endian integer, zero-padded past the key's end.
  // Because 0 is the least byte and the keys of one range share bytes [0, at), a smaller
  // prefix always means a smaller key; equal prefixes decide nothing.
  std::uint64_t prefix(const Entry& e, std::uint64_t at) const {
    const std::uint64_t rest = e.key_len - at;
    const std::uint8_t* const p = key(e, at);
    std::uint64_t word = 0;
    if (rest >= 8) {
      std::memcpy(&word, p, 8);
      return big_endian(word);
    }
    if (rest == 0) return 0;
    if (e.offset + at + 8 <= bytes_len) {
      // The payload or the next item follows: load a full word and mask it, which is
      // cheaper than a short copy.
      std::memcpy(&word, p, 8);
      return big_endian(word) & (~std::uint64_t{0} << (8 * (8 - rest)));
    }
    std::uint8_t padded[8] = {};
    std::memcpy(padded, p, rest);
    std::memcpy(&word, padded, 8);
    return big_endian(word);
  }

  static std::uint64_t big_endian(std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::little) return std::byteswap(word);
    return word;
  }
};

// Equal keys: insertion order, which the offset gives; two entries share an offset only
// when the earlier one is entirely empty, and then the payload length tells them apart.
inline bool inserted_before(const Entry& a, const Entry& b) {
  return a.offset != b.offset ? a.offset < b.offset : a.payload_len < b.payload_len;
}

// The whole comparator, for keys already known to agree on bytes [0, from).
inline bool less_from(const Keys& keys, const Entry& a, const Entry& b, std::uint64_t from) {
  const std::uint64_t a_rest = a.key_len - from;
  const std::uint64_t b_rest = b.key_len - from;
  const std::uint64_t common = std::min(a_rest, b_rest);
  if (common != 0) {
    const int c = std::memcmp(keys.key(a, from), keys.key(b, from), common);
    if (c != 0) return c < 0;
  }
  if (a_rest != b_rest) return a_rest < b_rest;
  return inserted_before(a, b);
}

// The number of leading bytes on which x[0, len) and y[0, len) agree.
std::uint64_t mismatch(const std::uint8_t* x, const std::uint8_t* y, std::uint64_t len) {
  std::uint64_t i = 0;
  // A word at a time; the first differing word is then scanned byte by byte.
  while (i + 8 <= len && std::memcmp(x + i, y + i, 8) == 0) i += 8;
  while (i < len && x[i] == y[i]) ++i;
  return i;
}

// The length of the longest common prefix of the keys of `n` entries, knowing that they
// share at least `depth` bytes; `entry(i)` gives the i-th.
template <typename EntryAt>
std::uint64_t common_prefix(const Keys& keys, std::size_t n, const EntryAt& entry,
                            std::uint64_t depth) {
  const Entry& first = entry(0);
  std::uint64_t end = first.key_len;
  for (std::size_t i = 1; i < n && end > depth; ++i) {
    const Entry& other = entry(i);
    end = std::min<std::uint64_t>(end, other.key_len);
    end = depth + mismatch(keys.key(first, depth), keys.key(other, depth), end - depth);
  }
  return end;
}

// Counts how many of [a, a + n) fall into each bucket.
template <typename T, typename Digit>
void count(const T* a, std::size_t n, const Digit& digit, Counts& counts) {
  counts.fill(0);
  for (std::size_t i = 0; i < n; ++i) ++counts[digit(a[i])];
}

// Bucket b's range is [starts[b], starts[b + 1]).
void to_starts(const Counts& counts, Starts& starts) {
  starts[0] = 0;
  for (std::size_t b = 0; b < kBuckets; ++b) starts[b + 1] = starts[b] + counts[b];
}

// Moves elements into their buckets, in place, within bounds: bucket b's free slots are
// [next[b], end[b]). Each round walks the unplaced part of every bucket and swaps each
// element straight into the next free slot of its own bucket; the element swapped back is
// left for the next round. Unlike following one element's cycle, consecutive steps do not
// wait on each other's key loads, so the processor overlaps their cache misses.
//
// An element whose bucket has no free slot left is moved to the end of the part being
// walked, and that end moves down. So on return each bucket holds its own elements from
// where its `next` began up to `next[b]`, and such stranded elements from there up to
// where its `end` began. That happens only when the bounds are one worker's share of
// each bucket (ParallelSort::permute); with every bucket's whole range, each element
// finds its slot.
template <typename T, typename Digit>
void place(T* a, const Digit& digit, Counts& next, Counts& end) {
  std::array<std::uint16_t, kBuckets> open;  // buckets with unplaced elements
  std::size_t open_len = 0;
  for (std::size_t b = 0; b < kBuckets; ++b) {
    if (next[b] < end[b]) open[open_len++] = static_cast<std::uint16_t>(b);
  }
  while (open_len != 0) {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < open_len; ++k) {
      const std::size_t b = open[k];
      for (std::size_t i = next[b]; i < end[b]; ++i) {
        // next[b] <= i here, so an element of bucket b always has a slot.
        const unsigned d = digit(a[i]);
        if (next[d] < end[d]) {
          std::swap(a[i], a[next[d]++]);
        } else {
          std::swap(a[i], a[--end[b]]);
        }
      }
      if (next[b] < end[b]) open[kept++] = open[k];
    }
    open_len = kept;
  }
}

// Moves every element of a range into its bucket, bucket b being [starts[b],
// starts[b + 1]).
template <typename T, typename Digit>
void permute(T* a, const Digit& digit, const Starts& starts) {
  Counts next;
  Counts end;
  std::copy(starts.begin(), starts.end() - 1, next.begin());
  std::copy(starts.begin() + 1, starts.end(), end.begin());
  place(a, digit, next, end);
}

// The largest bucket among 1..256 and its size; bucket 0 is never recursed into.
std::pair<std::size_t, std::size_t> largest_bucket(const Starts& starts) {
  std::size_t best = 1;
  for (std::size_t b = 2; b < kBuckets; ++b) {
    if (starts[b + 1] - starts[b] > starts[best + 1] - starts[best]) best = b;
  }
  return {best, starts[best + 1] - starts[best]};
}

// An entry with 8 of its key bytes, starting at the range's `base`, cached beside it.
struct Record {
  std::uint64_t prefix;
  Entry entry;
};

// What one radix pass found.
enum class Pass : std::uint8_t {
  kSplit,   // the range is split into its buckets
  kEqual,   // every key ends at this depth: all keys are equal, nothing moved
  kShared,  // every key has the same byte here: nothing moved, depth moved past the
            // bytes all keys share
};

// Decides what a radix pass over [a, a + n) at `depth` does, from its `counts`. The
// caller moves the entries when the answer is kSplit.
Pass plan_pass(const Keys& keys, Entry* a, std::size_t n, std::uint64_t& depth,
               const Counts& counts, Starts& starts) {
  if (counts[0] == n) return Pass::kEqual;
  if (std::ranges::find(counts, n) != counts.end()) {
    // One byte for all: keys with a long shared prefix (or many equal keys) would cost a
    // pass per byte, so measure the shared part once and skip it.
    depth = common_prefix(
        keys, n, [a](std::size_t i) -> const Entry& { return a[i]; }, depth + 1);
    return Pass::kShared;
  }
  to_starts(counts, starts);
  return Pass::kSplit;
}

void sort_inserted(Entry* a, std::size_t n) { std::sort(a, a + n, inserted_before); }

// Sorts on the calling thread. Owns the scratch buffer of one job.
class SequentialSort {
 public:
  explicit SequentialSort(const Keys& keys) : keys_(keys) {}

  // Sorts [a, a + n), whose keys all share bytes [0, depth).
  void sort(Entry* a, std::size_t n, std::uint64_t depth) {
    // Each pass recurses into every bucket but the largest, which the loop takes next:
    // a recursion is always into at most half of the range, so the stack stays shallow
    // however the keys nest.
    while (n > 1) {
      if (n <= kBlockEntries) {
        sort_block(a, n, depth);
        return;
      }
      Counts counts;
      count(
          a, n, [this, depth](const Entry& e) { return keys_.digit(e, depth); }, counts);
      Starts starts;
      switch (plan_pass(keys_, a, n, depth, counts, starts)) {
        case Pass::kEqual: sort_inserted(a, n); return;
        case Pass::kShared: continue;
        case Pass::kSplit: break;
      }
      permute(
          a, [this, depth](const Entry& e) { return keys_.digit(e, depth); }, starts);
      sort_inserted(a, starts[1]);
      const auto [largest, largest_size] = largest_bucket(starts);
      for (std::size_t b = 1; b < kBuckets; ++b) {
        if (b != largest) sort(a + starts[b], starts[b + 1] - starts[b], depth + 1);
      }
      a += starts[largest];
      n = largest_size;
      ++depth;
    }
  }

 private:
  // Sorts [a, a + n) through the scratch buffer; n <= kBlockEntries.
  void sort_block(Entry* a, std::size_t n, std::uint64_t depth) {
    if (n <= kInsertionEntries) {
      insertion_sort(a, n, [this, depth](const Entry& x, const Entry& y) {
        return less_from(keys_, x, y, depth);
      });
      return;
    }
    if (!reserve(n)) {
      // No scratch to be had: sort on the entries themselves, slower but correct.
      std::sort(a, a + n, [this, depth](const Entry& x, const Entry& y) {
        return less_from(keys_, x, y, depth);
      });
      return;
    }
    Record* const r = scratch_.get();
    Record* const spare = r + scratch_cap_ / 2;
    // Each prefix load is likely a cache miss; asking for the keys a few entries ahead
    // keeps several misses in flight.
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) __builtin_prefetch(keys_.key(a[i + kAhead], depth));
      r[i] = {keys_.prefix(a[i], depth), a[i]};
    }
    sort_records(r, spare, n, depth, depth);
    for (std::size_t i = 0; i < n; ++i) a[i] = r[i].entry;
  }

  // Sorts records whose keys share bytes [0, depth) and whose prefixes hold key bytes
  // [base, base + 8), base <= depth <= base + 8; `spare` has room for n records.
  //
  // Two key bytes at once, from the cached prefix: a stable sort by those 16 bits (two
  // counting passes between the records and the spare room) leaves groups that are
  // almost always tiny for keys that differ there, and an insertion sort with the whole
  // comparator settles each group. A large group (keys alike in those bytes) goes on with
  // a radix pass at this depth.
  void sort_records(Record* r, Record* spare, std::size_t n, std::uint64_t depth,
                    std::uint64_t base) {
    if (n <= kInsertionEntries) {
      insertion_sort_records(r, n, base);
      return;
    }
    if (depth + 2 > base + 8) {
      reload(r, n, depth);
      base = depth;
    }
    const unsigned shift = 48 - 8 * static_cast<unsigned>(depth - base);
    const auto pair = [shift](const Record& x) {
      return static_cast<unsigned>((x.prefix >> shift) & 0xFFFF);
    };
    std::array<std::size_t, 256> low{};
    std::array<std::size_t, 256> high{};
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned d = pair(r[i]);
      ++low[d & 0xFF];
      ++high[d >> 8];
    }
    const bool low_varies = low[pair(r[0]) & 0xFF] != n;
    const bool high_varies = high[pair(r[0]) >> 8] != n;
    if (!low_varies && !high_varies) {
      radix_pass_records(r, spare, n, depth, base);
      return;
    }
    if (low_varies) scatter(r, spare, n, low, [&](const Record& x) { return pair(x) & 0xFF; });
    if (high_varies) {
      scatter(low_varies ? spare : r, low_varies ? r : spare, n, high,
              [&](const Record& x) { return pair(x) >> 8; });
    }
    if (low_varies != high_varies) std::copy(spare, spare + n, r);

    for (std::size_t i = 0; i < n;) {
      const unsigned d = pair(r[i]);
      std::size_t j = i + 1;
      while (j < n && pair(r[j]) == d) ++j;
      if (j - i <= kInsertionEntries) {
        insertion_sort_records(r + i, j - i, base);
      } else {
        radix_pass_records(r + i, spare + i, j - i, depth, base);
      }
      i = j;
    }
  }

  // Moves `from` into `to`, stably, in the order of `digit` (0 to 255), whose counts are
  // `counts`.
  template <typename Digit>
  static void scatter(const Record* from, Record* to, std::size_t n,
                      const std::array<std::size_t, 256>& counts, const Digit& digit) {
    std::array<std::size_t, 256> next;
    std::size_t at = 0;
    for (std::size_t d = 0; d < 256; ++d) {
      next[d] = at;
      at += counts[d];
    }
    for (std::size_t i = 0; i < n; ++i) to[next[digit(from[i])]++] = from[i];
  }

  // One radix pass at `depth` in place (an American flag pass), then each bucket on its
  // own.
  void radix_pass_records(Record* r, Record* spare, std::size_t n, std::uint64_t depth,
                          std::uint64_t base) {
    const auto by_insertion = [](const Record& x, const Record& y) {
      return inserted_before(x.entry, y.entry);
    };
    while (n > 1) {
      if (n <= kInsertionEntries) {
        insertion_sort_records(r, n, base);
        return;
      }
      if (depth >= base + 8) {
        reload(r, n, depth);
        base = depth;
      }
      const unsigned shift = 56 - 8 * static_cast<unsigned>(depth - base);
      const auto digit = [depth, shift](const Record& x) {
        return depth < x.entry.key_len ? 1u + static_cast<unsigned>((x.prefix >> shift) & 0xFF)
                                       : 0u;
      };
      Counts counts;
      count(r, n, digit, counts);
      if (counts[0] == n) {
        std::sort(r, r + n, by_insertion);
        return;
      }
      if (std::ranges::find(counts, n) != counts.end()) {
        const std::uint64_t shared = common_prefix(
            keys_, n, [r](std::size_t i) -> const Entry& { return r[i].entry; }, depth + 1);
        if (shared >= base + 8) {
          reload(r, n, shared);
          base = shared;
        }
        depth = shared;
        continue;
      }
      Starts starts;
      to_starts(counts, starts);
      permute(r, digit, starts);
      std::sort(r, r + starts[1], by_insertion);
      const auto [largest, largest_size] = largest_bucket(starts);
      for (std::size_t b = 1; b < kBuckets; ++b) {
        if (b != largest) {
          sort_records(r + starts[b], spare + starts[b], starts[b + 1] - starts[b], depth + 1,
                       base);
        }
      }
      r += starts[largest];
      spare += starts[largest];
      n = largest_size;
      ++depth;
    }
  }

  // The cached bytes are used up: load the 8 from `depth` on.
  void reload(Record* r, std::size_t n, std::uint64_t depth) const {
    for (std::size_t i = 0; i < n; ++i) r[i].prefix = keys_.prefix(r[i].entry, depth);
  }

  void insertion_sort_records(Record* r, std::size_t n, std::uint64_t base) const {
    insertion_sort(r, n, [this, base](const Record& x, const Record& y) {
      if (x.prefix != y.prefix) return x.prefix < y.prefix;
      return less_from(keys_, x.entry, y.entry, base);
    });
  }

  template <typename T, typename Less>
  static void insertion_sort(T* a, std::size_t n, const Less& less) {
    for (std::size_t i = 1; i < n; ++i) {
      T moving = a[i];
      std::size_t j = i;
      for (; j > 0 && less(moving, a[j - 1]); --j) a[j] = a[j - 1];
      a[j] = moving;
    }
  }

  // Room for n records and as many spare ones.
  bool reserve(std::size_t n) {
    if (scratch_cap_ >= 2 * n) return true;
    const std::size_t cap = 2 * std::max(n, std::min(kBlockEntries, scratch_cap_));
    scratch_.reset(new (std::nothrow) Record[cap]);
    scratch_cap_ = scratch_ ? cap : 0;
    return scratch_ != nullptr;
  }

  const Keys& keys_;
  std::unique_ptr<Record[]> scratch_;
  std::size_t scratch_cap_ = 0;
};

// Sorts on the pool, from one of its workers: each pass's buckets become jobs that the
// workers share.
class ParallelSort {
 public:
  ParallelSort(Pool& pool, const Keys& keys) : pool_(pool), keys_(keys) {}

  void sort(Entry* a, std::size_t n, std::uint64_t depth) {
    while (n > kParallelEntries) {
      Counts counts;
      count_striped(a, n, depth, counts);
      Starts starts;
      switch (plan_pass(keys_, a, n, depth, counts, starts)) {
        case Pass::kEqual: sort_inserted(a, n); return;
        case Pass::kShared: continue;
        case Pass::kSplit: break;
      }
      permute(a, depth, starts);
      // A bucket holding most of the range goes on in this loop after the others rather
      // than as a nested job, so keys that split off only a few entries per byte cannot
      // nest the stack deeply.
      const auto [largest, largest_size] = largest_bucket(starts);
      const std::size_t kept = largest_size > n / 2 ? largest : kBuckets;
      run_jobs(a, n, depth, starts, kept);
      if (kept == kBuckets) return;
      a += starts[kept];
      n = largest_size;
      ++depth;
    }
    SequentialSort(keys_).sort(a, n, depth);
  }

 private:
  // A job sorts buckets [first, last) of one pass, one after the other, or one large
  // bucket in parallel.
  struct Job {
    std::uint16_t first;
    std::uint16_t last;
    bool parallel;
  };

  void count_striped(const Entry* a, std::size_t n, std::uint64_t depth, Counts& counts) {
    const std::size_t stripes = std::min(kMaxStripes, pool_.threads());
    std::array<Counts, kMaxStripes> partial;
    pool_.for_each(stripes, [&](std::size_t s) {
      const std::size_t lo = n * s / stripes;
      const std::size_t hi = n * (s + 1) / stripes;
      count(
          a + lo, hi - lo, [this, depth](const Entry& e) { return keys_.digit(e, depth); },
          partial[s]);
    });
    counts.fill(0);
    for (std::size_t s = 0; s < stripes; ++s) {
      for (std::size_t b = 0; b < kBuckets; ++b) counts[b] += partial[s][b];
    }
  }

  // Moves [a, a + n) into the buckets `starts` gives, on several workers. Each worker
  // takes a share of every bucket's unplaced slots and places what it can into its own
  // shares; an element whose share of its bucket is full stays stranded. The placed and
  // stranded slots of each bucket are then gathered, each bucket's placed slots to its
  // front, and another round runs on the stranded remainder. When a round places too
  // little (keys laid out to defeat the shares), one worker places the rest.
  void permute(Entry* a, std::uint64_t depth, const Starts& starts) {
    const auto digit = [this, depth](const Entry& e) { return keys_.digit(e, depth); };
    const std::size_t stripes = std::min(kMaxStripes, pool_.threads());
    Counts head;  // bucket b's slots [starts[b], head[b]) hold its own entries
    std::copy(starts.begin(), starts.end() - 1, head.begin());
    for (;;) {
      std::size_t unplaced = 0;
      for (std::size_t b = 0; b < kBuckets; ++b) unplaced += starts[b + 1] - head[b];
      if (unplaced == 0) return;
      if (unplaced < kParallelEntries) {
        Counts end;
        std::copy(starts.begin() + 1, starts.end(), end.begin());
        place(a, digit, head, end);
        return;
      }
      // Worker p's share of bucket b: [share(p, b), share(p + 1, b)).
      const auto share = [&](std::size_t p, std::size_t b) {
        return head[b] + (starts[b + 1] - head[b]) * p / stripes;
      };
      std::array<Counts, kMaxStripes> next;
      std::array<Counts, kMaxStripes> end;
      for (std::size_t p = 0; p < stripes; ++p) {
        for (std::size_t b = 0; b < kBuckets; ++b) {
          next[p][b] = share(p, b);
          end[p][b] = share(p + 1, b);
        }
      }
      pool_.for_each(stripes, [&](std::size_t p) { place(a, digit, next[p], end[p]); });

      // Share p of bucket b is now placed in [share(p, b), next[p][b]) and stranded in
      // [next[p][b], share(p + 1, b)). Swap the stranded slots in front of the bucket's
      // new head with the placed slots behind it.
      std::size_t placed = 0;
      for (std::size_t b = 0; b < kBuckets; ++b) {
        std::size_t new_head = head[b];
        for (std::size_t p = 0; p < stripes; ++p) new_head += next[p][b] - share(p, b);
        placed += new_head - head[b];
        std::size_t front_p = 0;
        std::size_t front = next[0][b];
        std::size_t back_p = 0;
        std::size_t back = share(0, b);
        for (;;) {
          // The next stranded slot below new_head...
          while (front_p < stripes && front >= std::min(share(front_p + 1, b), new_head)) {
            if (++front_p < stripes) front = next[front_p][b];
          }
          // ...and the next placed slot from new_head on. There are as many of each.
          while (back_p < stripes) {
            back = std::max(back, new_head);
            if (back < next[back_p][b]) break;
            if (++back_p < stripes) back = share(back_p, b);
          }
          if (front_p == stripes || back_p == stripes) break;
          std::swap(a[front++], a[back++]);
        }
        head[b] = new_head;
      }
      if (placed < unplaced / 2) {
        Counts end_all;
        std::copy(starts.begin() + 1, starts.end(), end_all.begin());
        place(a, digit, head, end_all);
        return;
      }
    }
  }

  void run_jobs(Entry* a, std::size_t n, std::uint64_t depth, const Starts& starts,
                std::size_t kept) {
    // Small buckets are grouped so that each job is worth handing out, yet there are
    // several jobs per worker to even out their sizes.
    const std::size_t target = std::max(kBlockEntries, n / (4 * pool_.threads()));
    std::array<Job, kBuckets> jobs;
    std::size_t jobs_len = 0;
    std::size_t open = 0;   // entries in the last job, while it is a growing group
    bool grouping = false;  // whether the last job is a group that may take more buckets
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const std::size_t size = starts[b + 1] - starts[b];
      const auto bucket = static_cast<std::uint16_t>(b);
      const auto next = static_cast<std::uint16_t>(b + 1);
      if (b == kept || (b != 0 && size > kParallelEntries)) {
        // A group never spans these: the kept bucket is this loop's, a large one is a
        // job of its own.
        grouping = false;
        if (b != kept) jobs[jobs_len++] = {bucket, next, true};
        continue;
      }
      if (size == 0) continue;
      if (grouping && open < target) {
        jobs[jobs_len - 1].last = next;
        open += size;
        continue;
      }
      jobs[jobs_len++] = {bucket, next, false};
      open = size;
      grouping = b != 0;
    }
    pool_.for_each(jobs_len, [&](std::size_t j) {
      const Job& job = jobs[j];
      if (job.first == 0) {
        sort_inserted(a, starts[1]);
      } else if (job.parallel) {
        sort(a + starts[job.first], starts[job.first + 1] - starts[job.first], depth + 1);
      } else {
        SequentialSort sequential(keys_);
        for (std::size_t b = job.first; b < job.last; ++b) {
          sequential.sort(a + starts[b], starts[b + 1] - starts[b], depth + 1);
        }
      }
    });
  }

  Pool& pool_;
  const Keys& keys_;
};

}  // namespace

Chunk::Chunk(Chunk&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      bytes_len_(std::exchange(other.bytes_len_, 0)),
      bytes_cap_(std::exchange(other.bytes_cap_, 0)),
      entries_(std::move(other.entries_)),
      entries_len_(std::exchange(other.entries_len_, 0)),
      entries_cap_(std::exchange(other.entries_cap_, 0)) {}

Chunk& Chunk::operator=(Chunk&& other) noexcept {
  if (this != &other) {
    bytes_ = std::move(other.bytes_);
    bytes_len_ = std::exchange(other.bytes_len_, 0);
    bytes_cap_ = std::exchange(other.bytes_cap_, 0);
    entries_ = std::move(other.entries_);
    entries_len_ = std::exchange(other.entries_len_, 0);
    entries_cap_ = std::exchange(other.entries_cap_, 0);
  }
  return *this;
}

Chunk::~Chunk() = default;

Room Chunk::room(std::uint64_t need, std::uint64_t budget) const {
  const std::uint64_t b = bytes_cap_;
  const std::uint64_t c = entries_cap_;
  const std::uint64_t len = entries_len_;
  const std::uint64_t m = budget;
  const std::uint64_t n = bytes_len_ + need;

  if (b + 16 * c <= m) {
    if (n <= b && len < c) return {Room::Kind::kFits};
  } else if (n <= b && len == 0 && c >= 1) {
    // Only an oversized first item leaves a chunk over budget; once cleared, it may take
    // one item again without reallocating.
    return {Room::Kind::kFits};
  }

  const std::uint64_t bytes = n <= b ? b : std::max({2 * b, n, kMinBytesCapacity});
  const std::uint64_t entries = len < c ? c : std::max({2 * c, len + 1, kMinEntriesCapacity});
  if (16 * entries + bytes <= m) return {Room::Kind::kGrow, bytes, entries};

  if (len == 0) {
    // An empty chunk takes any item, however large: the alternative would be an item
    // that can never be added.
    return {Room::Kind::kGrow, std::max(b, n), std::max<std::uint64_t>(c, 1)};
  }

  const std::uint64_t total = n + 16 * (len + 1);
  if (total > m - m / 8) return {Room::Kind::kFull};

  // Split the whole budget in proportion to what each buffer needs. With the footprint
  // needed at most seven eighths of the budget, both buffers get about a seventh more
  // than this item needs, so the next items fit without coming back here each time.
  const auto split = static_cast<std::uint64_t>(static_cast<Wide>(n) * m / total);
  return {Room::Kind::kGrow, split, (m - split) / 16};
}

bool Chunk::make_room(std::uint64_t need, std::uint64_t budget) {
  const Room r = room(need, budget);
  switch (r.kind) {
    case Room::Kind::kFits: return true;
    case Room::Kind::kFull: return false;
    case Room::Kind::kGrow:
      resize_buffers(r.bytes_capacity, r.entries_capacity, budget);
      return true;
  }
  return false;
}

void Chunk::resize_buffers(std::uint64_t bytes_capacity, std::uint64_t entries_capacity,
                           const std::uint64_t budget) {
  // A buffer never shrinks below its contents; the budget only ever asks that of a buffer
  // whose partner grows, and then the contents stay well within the request. Each region
  // reserves the whole budget, which covers every capacity within it.
  bytes_capacity = std::max(bytes_capacity, bytes_len_);
  if (bytes_capacity != bytes_cap_) {
    bytes_.resize(bytes_capacity, bytes_len_, budget);
    bytes_cap_ = bytes_capacity;
  }
  entries_capacity = std::max(entries_capacity, entries_len_);
  if (entries_capacity != entries_cap_) {
    entries_.resize(entries_capacity * sizeof(Entry), entries_len_ * sizeof(Entry), budget);
    entries_cap_ = entries_capacity;
  }
}

void Chunk::append(ByteView key, ByteView payload) {
  assert(entries_len_ < entries_cap_);
  assert(bytes_len_ + key.size() + payload.size() <= bytes_cap_);
  entry_array()[entries_len_++] = Entry{bytes_len_, static_cast<std::uint32_t>(key.size()),
                                        static_cast<std::uint32_t>(payload.size())};
  if (!key.empty()) std::memcpy(bytes_.get() + bytes_len_, key.data(), key.size());
  bytes_len_ += key.size();
  if (!payload.empty()) std::memcpy(bytes_.get() + bytes_len_, payload.data(), payload.size());
  bytes_len_ += payload.size();
}

void Chunk::sort(Pool* pool) {
  if (entries_len_ < 2) return;
  const Keys keys{bytes_.get(), bytes_len_};
  Entry* const a = entry_array();
  const std::size_t n = entries_len_;
  if (pool == nullptr) {
    SequentialSort(keys).sort(a, n, 0);
    return;
  }
  const auto run = [&] { ParallelSort(*pool, keys).sort(a, n, 0); };
  if (pool->in_pool()) {
    run();
  } else {
    // Hand the whole sort to the workers, so that this thread only waits.
    pool->for_each(1, [&](std::size_t) { run(); });
  }
}

namespace {

bool same_key(const Chunk& chunk, const Entry& a, const Entry& b) {
  if (a.key_len != b.key_len) return false;
  const std::uint8_t* const x = chunk.key(a).data();
  const std::uint8_t* const y = chunk.key(b).data();
  // Neighbours that differ mostly differ early: settle those without a call.
  if (a.key_len >= 8) {
    std::uint64_t u;
    std::uint64_t v;
    std::memcpy(&u, x, 8);
    std::memcpy(&v, y, 8);
    if (u != v) return false;
  }
  return a.key_len == 0 || std::memcmp(x, y, a.key_len) == 0;
}

constexpr std::size_t kWindow = 64;

}  // namespace

bool Walk::starts_group(const Chunk& chunk, const std::size_t i) {
  if (i < window_ || i >= window_end_) {
    // The next 64 in the walk's direction, which never skips an entry.
    const std::span<const Entry> entries = chunk.entries();
    window_ = order_.reverse ? (i >= kWindow ? i + 1 - kWindow : 0) : i;
    window_end_ = order_.reverse ? i + 1 : std::min(entries.size(), i + kWindow);
    starts_ = 0;
    for (std::size_t j = window_; j < window_end_; ++j) {
      const bool starts = j == 0 || !same_key(chunk, entries[j - 1], entries[j]);
      starts_ |= std::uint64_t{starts} << (j - window_);
    }
  }
  return ((starts_ >> (i - window_)) & 1) != 0;
}

bool Walk::next_stretch(const Chunk& chunk) {
  const std::size_t n = chunk.size();
  if (done_ == n) return false;
  if (!order_.reverse) {
    const std::size_t begin = done_;
    std::size_t end = n;
    if (order_.unique) {
      // The first of each group up to one with more entries, whose others are dropped; at
      // most a window's worth, as below.
      end = begin + 1;
      const std::size_t most = std::min(n, begin + kWindow);
      while (end < most && starts_group(chunk, end)) ++end;
      std::size_t next = end;
      while (next < n && !starts_group(chunk, next)) ++next;
      dropped_ += next - end;
      done_ = next;
    } else {
      done_ = n;
    }
    at_ = begin;
    stop_ = end;
    backwards_ = false;
    return true;
  }
  const std::size_t end = n - done_;
  if (!starts_group(chunk, end - 1)) {
    // A group of several equal keys ends here: it goes out front to back, which is the
    // order they were added in, or only its first with `unique`.
    std::size_t begin = end - 1;
    while (!starts_group(chunk, begin)) --begin;
    const std::size_t kept = order_.unique ? begin + 1 : end;
    dropped_ += end - kept;
    at_ = begin;
    stop_ = kept;
    backwards_ = false;
    done_ = n - begin;
    return true;
  }
  // Keys that each occur once, going down: entry i - 1 is alone in its group when it
  // starts one, since entry i starts the next. At most a window's worth, so that the keys
  // just compared are still in the cache when the caller reads them.
  std::size_t begin = end - 1;
  const std::size_t least = end > kWindow ? end - kWindow : 0;
  while (begin > least && starts_group(chunk, begin - 1)) --begin;
  at_ = end;
  stop_ = begin;
  backwards_ = true;
  done_ = n - begin;
  return true;
}

void Chunk::clear() {
  bytes_len_ = 0;
  entries_len_ = 0;
}

void Chunk::release() {
  bytes_.reset();
  bytes_len_ = 0;
  bytes_cap_ = 0;
  entries_.reset();
  entries_len_ = 0;
  entries_cap_ = 0;
}

}  // namespace lodestack::sorter
