// One half of a sorter's memory: the items added since the last spill.
//
// A `Chunk` packs each item's key bytes, followed directly by its payload bytes, into one
// byte buffer, and keeps one 16-byte `Entry` per item. Its footprint is what the budget
// limits: capacity(bytes) + 16 * capacity(entries). `room` decides, item by item, whether
// the next item fits, how to grow, or that the chunk is full and must be spilled. Each
// buffer lies in a `Region` that reserves the whole budget at once and commits pages as
// they are written, so growing copies nothing, and what the chunk holds never exceeds its
// footprint (an oversized first item aside).
//
// A chunk belongs to one thread at a time (the adder under the sorter's lock, its spill
// thread, or the reader); it is never shared, and it is moved between those threads.
#ifndef LODESTACK_SORTER_CHUNK_H_
#define LODESTACK_SORTER_CHUNK_H_

#include <cstdint>
#include <span>

#include "key/bytes.h"
#include "sorter/order.h"
#include "sorter/pool.h"
#include "sorter/region.h"

namespace lodestack::sorter {

struct Entry {
  std::uint64_t offset;       // of the first key byte in the chunk's bytes
  std::uint32_t key_len;      // the payload follows the key directly
  std::uint32_t payload_len;
};
static_assert(sizeof(Entry) == 16, "the budget counts 16 bytes per item");

// What `room` answers for the next item.
struct Room {
  enum class Kind : std::uint8_t { kFits, kGrow, kFull };
  Kind kind;
  std::uint64_t bytes_capacity = 0;    // for kGrow
  std::uint64_t entries_capacity = 0;  // for kGrow
};

class Chunk final {
 public:
  Chunk() = default;
  Chunk(Chunk&&) noexcept;
  Chunk& operator=(Chunk&&) noexcept;
  Chunk(const Chunk&) = delete;
  Chunk& operator=(const Chunk&) = delete;
  ~Chunk();

  // Whether an item of `need` bytes (key + payload) fits a chunk held to `budget`. Changes
  // nothing.
  Room room(std::uint64_t need, std::uint64_t budget) const;

  // Applies `room`: false when full (nothing changes), else true, and the item then fits
  // without any further allocation.
  bool make_room(std::uint64_t need, std::uint64_t budget);

  // REQUIRES: make_room(key.size() + payload.size(), ...) returned true; both lengths
  // below 2^32.
  void append(ByteView key, ByteView payload);

  // Sorts the entries by key bytes (unsigned, a proper prefix first), equal keys in the
  // order they were added. With a pool the sort runs on its workers; a caller outside the
  // pool blocks until it is done.
  void sort(Pool* pool);

  // Lengths to 0, capacities kept.
  void clear();
  // Frees both buffers.
  void release();

  std::size_t size() const { return entries_len_; }
  bool empty() const { return entries_len_ == 0; }
  std::span<const Entry> entries() const { return {entry_array(), entries_len_}; }
  ByteView key(const Entry& e) const { return {bytes_.get() + e.offset, e.key_len}; }
  ByteView payload(const Entry& e) const {
    return {bytes_.get() + e.offset + e.key_len, e.payload_len};
  }

  std::uint64_t bytes_len() const { return bytes_len_; }
  std::uint64_t bytes_capacity() const { return bytes_cap_; }
  std::uint64_t entries_capacity() const { return entries_cap_; }
  // capacity(bytes) + 16 * capacity(entries): what the budget limits.
  std::uint64_t footprint() const { return bytes_cap_ + 16 * entries_cap_; }
  // The length of these items laid out as run records: bytes plus 8 per item.
  std::uint64_t stream_len() const { return bytes_len_ + 8 * entries_len_; }

 private:
  void resize_buffers(std::uint64_t bytes_capacity, std::uint64_t entries_capacity,
                      std::uint64_t budget);
  Entry* entry_array() const { return reinterpret_cast<Entry*>(entries_.get()); }

  // Regions rather than vectors: the budget depends on exact capacities, neither buffer
  // ever needs its new part zero-filled, and growing must not copy.
  Region bytes_;
  std::uint64_t bytes_len_ = 0;
  std::uint64_t bytes_cap_ = 0;
  Region entries_;
  std::uint64_t entries_len_ = 0;
  std::uint64_t entries_cap_ = 0;
};

// Hands out a sorted chunk's entries in the final order of a sort: keys ascending, or
// descending with `reverse`, equal keys in the order they were added either way; with
// `unique`, only the first added of each group of equal keys.
//
// The chunk sort gives ascending order only. Rather than reorder the entries in a pass of
// its own, which would pay a cache miss per entry for keys that lie in insertion order,
// the walk finds the groups of equal keys by comparing neighbours as it goes, 64 at a
// time: their keys are the ones its caller reads next anyway, and comparing a batch of
// them apart from the caller's copying lets their cache misses overlap. It then hands out
// whole stretches (a run of distinct keys, backwards with `reverse`, or a group of equal
// ones forwards), so that a caller's loop costs about the same in any order. The
// ascending walk that keeps every entry compares nothing.
//
// A walk holds positions only. REQUIRES: every call passes the same chunk, sorted and
// unchanged since the first call.
class Walk final {
 public:
  explicit Walk(Order order) : order_(order) {}

  // The next entry, or null after the last.
  const Entry* next(const Chunk& chunk) {
    if (at_ == stop_ && !next_stretch(chunk)) return nullptr;
    return &chunk.entries()[backwards_ ? --at_ : at_++];
  }

  // Entries left out as duplicates so far.
  std::uint64_t dropped() const { return dropped_; }

 private:
  bool next_stretch(const Chunk& chunk);
  // Whether entry i is the first of its group of equal keys. REQUIRES: i < size.
  bool starts_group(const Chunk& chunk, std::size_t i);

  Order order_;
  // The stretch being handed out: [at_, stop_) going up, or [stop_, at_) going down.
  std::size_t at_ = 0;
  std::size_t stop_ = 0;
  bool backwards_ = false;
  // Entries handed out or dropped so far: those from the front, from the back with
  // `reverse`.
  std::size_t done_ = 0;
  std::uint64_t dropped_ = 0;
  // starts_group for the entries [window_, window_end_), at most 64: bit i - window_.
  std::size_t window_ = 0;
  std::size_t window_end_ = 0;
  std::uint64_t starts_ = 0;
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_CHUNK_H_
