// The byte buffers that keys and payloads travel in below the binding.
//
// `Bytes` is an owned, growable buffer; `ByteView` a borrowed, read-only range. Key bytes
// are compared as unsigned bytes, so both use `std::uint8_t` rather than `char`.
#ifndef LODESTACK_KEY_BYTES_H_
#define LODESTACK_KEY_BYTES_H_

#include <cstdint>
#include <span>
#include <vector>

namespace lodestack {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace lodestack

#endif  // LODESTACK_KEY_BYTES_H_
