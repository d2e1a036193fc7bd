#include "sorter/region.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <utility>

namespace lodestack::sorter {

namespace {

constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;

std::uint64_t page_size() {
  static const auto size = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::uint64_t round_up(std::uint64_t n, std::uint64_t to) {
  return n % to == 0 ? n : n + (to - n % to);
}

// Maps `size` bytes, a multiple of the page size, without committing them: the system
// neither touches nor counts them against its commit limit until they are written. Null
// when it refuses.
std::uint8_t* map(std::uint64_t size) {
  void* const p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
}

}  // namespace

Region::Region(Region&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      reserved_(std::exchange(other.reserved_, 0)) {}

Region& Region::operator=(Region&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    reserved_ = std::exchange(other.reserved_, 0);
  }
  return *this;
}

Region::~Region() { reset(); }

void Region::resize(const std::uint64_t capacity, const std::uint64_t len,
                    const std::uint64_t reserve) {
  assert(len <= capacity && len <= capacity_);
  const std::uint64_t page = page_size();
  if (capacity > reserved_) {
    // A reservation of whole huge pages, which the system places on a huge page boundary.
    std::uint64_t size = round_up(std::max(capacity, reserve), page);
    if (size >= kHuge) size = round_up(size, kHuge);
    std::uint8_t* fresh = map(size);
    if (fresh == nullptr) {
      // Refused (a limit on address space, or strict overcommit with a large budget):
      // what is needed now may still be had, at the cost of copying on the next growth.
      size = round_up(capacity, page);
      fresh = map(size);
      if (fresh == nullptr) throw std::bad_alloc();
    }
    if (len != 0) std::memcpy(fresh, data_, len);
    reset();
    data_ = fresh;
    reserved_ = size;
  } else if (capacity < capacity_) {
    // The tail is not needed any more: its pages go back to the system now, and would
    // read as zeros if touched again.
    const std::uint64_t from = round_up(capacity, page);
    const std::uint64_t to = round_up(capacity_, page);
    if (from < to) ::madvise(data_ + from, to - from, MADV_DONTNEED);
  }
  capacity_ = capacity;

#if defined(MADV_HUGEPAGE) && defined(MADV_NOHUGEPAGE)
  // Sorting reads the keys in an order unrelated to where they lie, and with 4 KiB pages
  // nearly every such read of a large chunk misses the TLB as well as the cache: huge
  // pages for every whole one within the capacity. Beyond it none, even where the system
  // would give them unasked, since a huge page is committed whole at its first touch.
  // Only hints: where the system says no, everything works the same, only slower.
  const auto base = reinterpret_cast<std::uintptr_t>(data_);
  const std::uintptr_t first = (base + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t cut = std::max(base, (base + capacity) & ~(kHuge - 1));
  if (first < cut) ::madvise(reinterpret_cast<void*>(first), cut - first, MADV_HUGEPAGE);
  if (cut < base + reserved_) {
    ::madvise(reinterpret_cast<void*>(cut), base + reserved_ - cut, MADV_NOHUGEPAGE);
  }
#endif
}

void Region::reset() {
  if (data_ != nullptr) ::munmap(data_, reserved_);
  data_ = nullptr;
  capacity_ = 0;
  reserved_ = 0;
}

}  // namespace lodestack::sorter
