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

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_CHUNK_H_
