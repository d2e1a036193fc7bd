// The one flag every fuzzer here understands besides libFuzzer's own: `--write-seeds=DIR`
// writes the target's starting corpus into DIR and exits, so fuzz/run.sh can seed any
// target the same way.
#ifndef LODESTACK_FUZZ_SEED_FLAG_H_
#define LODESTACK_FUZZ_SEED_FLAG_H_

#include <cstdlib>
#include <filesystem>
#include <string_view>

template <typename WriteSeeds>
void write_seeds_if_asked(int argc, char** argv, WriteSeeds write_seeds) {
  constexpr std::string_view kSeedFlag = "--write-seeds=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with(kSeedFlag)) {
      write_seeds(std::filesystem::path(arg.substr(kSeedFlag.size())));
      std::exit(0);
    }
  }
}

#endif  // LODESTACK_FUZZ_SEED_FLAG_H_
