// The private directory a sorter spills into, and the making of its name.
//
// `TempDir::make(parent)` creates "lodestack-" plus 6 random letters or digits inside
// `parent`, with mode 0700: spilled items are the user's data and the parent is usually a
// temporary directory that every local user can list. The `TempDir` owns the directory:
// destroying it removes the directory and everything in it, ignoring errors (nothing
// useful can be done about a failed removal of scratch files). It moves between threads
// with its owner (the core sorter, then the final merge).
#ifndef LODESTACK_SORTER_DIR_H_
#define LODESTACK_SORTER_DIR_H_

#include <filesystem>

#include "error/error.h"

namespace lodestack::sorter {

class TempDir final {
 public:
  // Makes the directory. A relative `parent` is resolved against the current working
  // directory now. Errors read "{parent}: {error} at path \"{attempted path}\"".
  static Result<TempDir> make(const std::filesystem::path& parent);

  TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  TempDir& operator=(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { remove(); }

  // The absolute path of the directory.
  const std::filesystem::path& path() const { return path_; }

 private:
  explicit TempDir(std::filesystem::path path) : path_(std::move(path)) {}
  void remove() noexcept;

  std::filesystem::path path_;  // empty once moved from
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_DIR_H_
