// How long lines::Keyer takes to key one line, for a few key specs, in nanoseconds per line.
//
//   lines_bench [lines] [repeats]     (default 1000000 lines, 5 repeats)
//
// The lines are short log-like records, "name<blanks>number<blanks>version<blanks>month",
// 25 to 40 bytes, the same every run (fixed seed). Each spec keys every line into one
// reused buffer, as the command line does; the table shows the best repeat. The whole-line
// row is the floor: a plain copy of each line. Times are processor time.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lines/keyer.h"

namespace {

using lodestack::Bytes;
using lodestack::ByteView;
namespace lines = lodestack::lines;

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

std::vector<std::string> make_lines(std::size_t n) {
  static char const* const kMonths[] = {"Jan", "feb", "MAR", "apr", "May", "jun"};
  std::vector<std::string> out;
  out.reserve(n);
  std::uint64_t state = 7;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t const r = splitmix(state);
    std::string line = "host" + std::to_string(r % 1000);
    line += r & 1 ? "  " : "\t";
    line += std::to_string(static_cast<std::int64_t>(r >> 20) % 2000000 - 1000000);
    if (r & 2) line += "." + std::to_string((r >> 8) % 100);
    line += ' ';
    line += "v" + std::to_string((r >> 12) % 20) + "." + std::to_string((r >> 16) % 30);
    line += ' ';
    line += kMonths[(r >> 40) % 6];
    out.push_back(std::move(line));
  }
  return out;
}

// Processor time, not wall time: on a shared machine, waiting for a core is not our cost.
double cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

struct Spec {
  char const* name;
  std::vector<char const*> keys;
  char const* global;  // letters
  bool stable;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t const n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  int const repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  auto const text = make_lines(n);
  std::vector<ByteView> views;
  for (const std::string& line : text) {
    views.emplace_back(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  }

  const Spec specs[] = {
      {"whole line", {}, "", false},
      {"-k2,2", {"2,2"}, "", false},
      {"-s -k2,2", {"2,2"}, "", true},
      {"-k2n,2", {"2n,2"}, "", false},
      {"-s -k2n,2", {"2n,2"}, "", true},
      {"-k2,2 -k1,1r", {"2,2", "1,1r"}, "", false},
      {"-k4294967295", {"4294967295"}, "", false},
      {"-k3V,3", {"3V,3"}, "", false},
      {"-k4M,4", {"4M,4"}, "", false},
      {"-k2g,2", {"2g,2"}, "", false},
      {"-k2h,2", {"2h,2"}, "", false},
      {"-f", {}, "f", false},
  };
  std::printf("%zu lines, best of %d\n%-16s %8s %10s\n", n, repeats, "spec", "ns/line",
              "key bytes");
  for (const Spec& spec : specs) {
    lines::Settings settings;
    for (char const* key : spec.keys) settings.keys.push_back(*lines::parse_key(key));
    for (char const* c = spec.global; *c != 0; ++c) settings.global.set(*c);
    settings.stable = spec.stable;
    auto const keyer = lines::Keyer::make(settings);
    if (!keyer) std::abort();
    double best = 1e300;
    std::size_t key_bytes = 0;
    Bytes key;
    for (int r = 0; r < repeats; ++r) {
      key_bytes = 0;
      double const start = cpu_ns();
      for (ByteView line : views) {
        key.clear();
        keyer->append_key(line, key);
        key_bytes += key.size();
      }
      best = std::min(best, cpu_ns() - start);
    }
    std::printf("%-16s %8.1f %10.1f\n", spec.name, best / static_cast<double>(n),
                static_cast<double>(key_bytes) / static_cast<double>(n));
  }
}
