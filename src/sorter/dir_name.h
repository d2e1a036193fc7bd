// The attempts behind `TempDir::make`, apart from the real mkdir(2).
//
// `make_unique_dir` draws names "lodestack-" plus 6 letters or digits and asks `make` to
// create each one inside an absolute parent until one is new. It exists apart from
// `TempDir` so that the retry policy (which failures mean "try another name", how many
// tries, what the errors say) can be exercised with a stand-in for mkdir, without 65,536
// real collisions. Any thread may call it; the name generator is per thread.
#ifndef LODESTACK_SORTER_DIR_NAME_H_
#define LODESTACK_SORTER_DIR_NAME_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "error/error.h"

namespace lodestack::sorter {

inline constexpr std::uint32_t kDirAttempts = 65536;

// Creates one directory; returns 0 or the errno of the failure.
using MakeDir = std::function<int(const std::filesystem::path&)>;

// Returns the path `make` created. Errors, without the parent as context: "{error} at
// path {quoted attempted path}" of the failure's kind, or, after kDirAttempts names that
// all existed (EEXIST or EADDRINUSE), "too many temporary files exist at path {quoted
// parent}" of kind AlreadyExists.
Result<std::filesystem::path> make_unique_dir(const std::filesystem::path& absolute_parent,
                                              const MakeDir& make);

// `text` in double quotes, with quotes, backslashes and control characters escaped and
// bytes that are not UTF-8 written as \xNN, so that any path reads unambiguously.
std::string quote_for_message(std::string_view text);

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_DIR_NAME_H_
