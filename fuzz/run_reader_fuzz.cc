// RunReader on any file and descriptor: reading as the merge does must never crash, hang, read
// past the descriptor's stream or hold more than the file decompresses to. Half the inputs are
// raw files, half runs that RunWriter wrote, that must read back, and that are then damaged.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "run/reader.h"
#include "run/writer.h"

namespace {

namespace run = lodestack::run;
using lodestack::Bytes;

const std::string kPath = "/dev/shm/run_reader_fuzz-" + std::to_string(getpid());

void check(bool ok, const char* what) {
  if (!ok) throw std::logic_error(what);
}

std::vector<Bytes> read_run(const run::Run& r) {
  const std::uint64_t most = 256 * std::filesystem::file_size(kPath);  // LZ4 expands less
  run::RunReader reader = run::RunReader::open(r).value();
  std::vector<Bytes> fields;
  Bytes key, payload;
  std::uint64_t total = 0;
  while (reader.records_left() > 0 && reader.read_field(key) && reader.read_field(payload)) {
    reader.record_read();
    total += key.size() + payload.size();
    check(total <= r.stream_len && total <= most, "fields hold more than the run or the file");
    fields.insert(fields.end(), {key, payload});
  }
  check(key.capacity() + payload.capacity() <= 4 * most + 2 * run::kBlockSize,
        "a field buffer outgrew the file");
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  run::Run r{kPath, in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint64_t>()};
  Bytes file = in.ConsumeBool() ? in.ConsumeRemainingBytes<std::uint8_t>() : Bytes{};
  if (file.empty()) {
    // Damage first, so that the records cannot use it up: new lengths C and U for the first
    // block (little-endian, as here), each below 2^18, near the limits; a byte changed.
    const std::uint64_t lengths = in.ConsumeIntegral<std::uint64_t>() & 0x0003FFFF'0003FFFF;
    const bool relength = in.ConsumeBool();
    const auto flip = in.ConsumeIntegral<std::uint32_t>();
    run::RunWriter writer = run::RunWriter::create(kPath, nullptr).value();
    std::vector<Bytes> fields;
    for (int n = 2 * in.ConsumeIntegralInRange(0, 20); n > 0; --n) {
      Bytes& f = fields.emplace_back(std::from_range, in.ConsumeRandomLengthString(20));
      if (in.ConsumeIntegralInRange(0, 15) == 0) {  // now and then noise, often over a block
        f.resize(in.ConsumeIntegralInRange(0, 300000));
        std::ranges::generate(f, std::minstd_rand(f.size()));
      }
      if (n % 2 == 1) writer.push(fields.end()[-2], f).value();
    }
    const run::Run written = std::move(writer).finish().value();
    check(read_run(written) == fields, "a run does not read back as written");
    file.resize(std::filesystem::file_size(kPath));
    std::ifstream(kPath).read(reinterpret_cast<char*>(file.data()), file.size());
    if (relength && file.size() >= 8) std::memcpy(file.data(), &lengths, 8);
    if (!file.empty()) file[(flip >> 8) % file.size()] ^= static_cast<std::uint8_t>(flip);
    r = {kPath, written.records - r.records, written.stream_len - r.stream_len};
  }
  std::ofstream(kPath).write(reinterpret_cast<const char*>(file.data()), file.size());
  read_run(r);
  std::filesystem::remove(kPath);
  return 0;
}
