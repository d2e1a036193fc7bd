// Address space for one buffer of a chunk, reserved up front and committed page by page.
//
// A `Region` maps `reserve` bytes of anonymous memory at its first resize without touching
// them: the system commits a page only when it is first written, so what the process
// holds is what the buffer has used, never the reservation. Growing within the reservation
// therefore moves nothing. Growing a buffer by reallocation would hold the old and the new
// buffer at once (16 MiB growing to 32 MiB holds 48 MiB while it copies), and the freed
// old buffer would stay in the allocator's heap.
//
// Whatever was committed stays committed while the capacity covers it, so a chunk that is
// cleared and refilled faults nothing in again; pages beyond a shrunk capacity are given
// back. Huge pages are asked for on the whole 2 MiB pages within the capacity, and refused
// beyond it, so that they never round what is held past the capacity.
//
// A region belongs to its chunk and is used by one thread at a time.
#ifndef LODESTACK_SORTER_REGION_H_
#define LODESTACK_SORTER_REGION_H_

#include <cstdint>

namespace lodestack::sorter {

class Region final {
 public:
  Region() = default;
  Region(Region&&) noexcept;
  Region& operator=(Region&&) noexcept;
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  ~Region();

  // The buffer: `capacity` usable bytes, page-aligned; null before the first resize.
  std::uint8_t* get() const { return data_; }

  // Makes the capacity `capacity` bytes, keeping the first `len` (REQUIRES: len at most
  // both the old and the new capacity). Within the reservation nothing moves; past it,
  // a new reservation of max(capacity, reserve) bytes takes the `len` bytes over. Throws
  // std::bad_alloc when the system refuses even `capacity` bytes; the region is then as
  // it was.
  void resize(std::uint64_t capacity, std::uint64_t len, std::uint64_t reserve);

  // Unmaps everything.
  void reset();

 private:
  std::uint8_t* data_ = nullptr;
  std::uint64_t capacity_ = 0;  // bytes the owner may use
  std::uint64_t reserved_ = 0;  // bytes mapped from data_
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_REGION_H_
