// The run file format, shared by the writer and the reader.
//
// A run file is a sequence of blocks and nothing else: an 8-byte header (C, the LZ4 data
// length, then U, the uncompressed length, both u32 little-endian) followed by one LZ4
// block (the plain block format) that decompresses to exactly U bytes. The uncompressed
// blocks, concatenated, are the record stream: for each record a u32 little-endian key
// length, the key, a u32 little-endian payload length, the payload. Records cross block
// boundaries anywhere. Every block but the last holds exactly kBlockSize stream bytes.
//
// The file has no header, count or checksum of its own: the `Run` descriptor, kept in
// memory, says how many records and stream bytes it holds.
#ifndef LODESTACK_RUN_FORMAT_H_
#define LODESTACK_RUN_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace lodestack::run {

inline constexpr std::size_t kBlockSize = 131072;  // the most a block decompresses to
inline constexpr std::size_t kHeaderSize = 8;

// The most LZ4 data a block of `u` stream bytes may carry; LZ4's own worst case,
// u + u / 255 + 16, always lies within it.
constexpr std::uint64_t max_compressed(std::uint64_t u) { return u * 110 / 100 + 20; }

inline constexpr std::size_t kMaxCompressed = max_compressed(kBlockSize);  // 144,199
inline constexpr std::size_t kMaxBlock = kHeaderSize + kMaxCompressed;     // 144,207

// The in-memory description of one run file.
struct Run {
  std::filesystem::path path;
  std::uint64_t records = 0;
  std::uint64_t stream_len = 0;  // sum over records of key length + payload length + 8
  std::uint64_t file_len = 0;    // the file's size: block headers and LZ4 data
};

}  // namespace lodestack::run

#endif  // LODESTACK_RUN_FORMAT_H_
