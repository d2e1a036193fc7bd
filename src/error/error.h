// The error type of everything below the Python binding.
//
// Failures are values: every fallible operation returns a `Result<T>`, which holds either
// its value or an `Error`. An `Error` is one of three things: an I/O error (a kind plus an
// OS error number or a message), an invalid argument (a message), or `Lost`, the error
// a sorter answers with once an earlier failure has lost records. The binding converts an
// `Error` into a Python exception (src/error/to_python.cc); nothing here knows Python.
//
// Errors are plain values: copy them, move them between threads, keep them in messages.
#ifndef LODESTACK_ERROR_ERROR_H_
#define LODESTACK_ERROR_ERROR_H_

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace lodestack {

// The kinds an I/O error can have. Each OS error number maps to one (kind_of_errno); the
// binding picks the Python exception class by kind.
enum class ErrorKind : std::uint8_t {
  kNotFound,
  kPermissionDenied,
  kConnectionRefused,
  kConnectionReset,
  kConnectionAborted,
  kBrokenPipe,
  kAlreadyExists,
  kWouldBlock,
  kNotADirectory,
  kIsADirectory,
  kTimedOut,
  kInterrupted,
  kOutOfMemory,
  kAddrInUse,
  kStorageFull,
  kFileTooLarge,
  kInvalidData,
  kUnexpectedEof,
  kOther,
};

ErrorKind kind_of_errno(int err);

// A short description of a kind, such as "unexpected end of file".
std::string_view describe(ErrorKind kind);

class [[nodiscard]] Error final {
 public:
  enum class Type : std::uint8_t { kIo, kInvalid, kLost };

  // An I/O error from an OS error number; its text is "{strerror} (os error {err})".
  static Error from_errno(int err);
  // The same error number with a text of its own.
  static Error from_errno(int err, std::string message);
  // An I/O error of `kind` whose text is `message`.
  static Error io(ErrorKind kind, std::string message);
  // An I/O error of `kind` with no message: its text is the kind's description.
  static Error io(ErrorKind kind);
  // An invalid argument or setting; becomes ValueError.
  static Error invalid(std::string message);
  // Records were lost by an earlier failure; becomes RuntimeError.
  static Error lost();

  // "{context}: {text}", keeping the type, kind and errno.
  Error with_context(std::string_view context) const;
  // The same, with a path as the context.
  Error with_path(const std::filesystem::path& path) const;

  Type type() const { return type_; }
  ErrorKind kind() const { return kind_; }
  // The OS error number behind an I/O error, or 0.
  int os_errno() const { return errno_; }
  // The error's text: the message, or the errno's description, or the kind's.
  std::string text() const;

  bool is_interrupted() const {
    return type_ == Type::kIo && kind_ == ErrorKind::kInterrupted;
  }

 private:
  Error(Type type, ErrorKind kind, int err, std::string message)
      : type_(type), kind_(kind), errno_(err), message_(std::move(message)) {}

  Type type_;
  ErrorKind kind_;
  int errno_;            // 0 unless made from an OS error number
  std::string message_;  // empty when the text comes from errno_ or kind_
};

// "{path}: {strerror} (os error {err})", of the errno's kind.
Error path_error(const std::filesystem::path& path, int err);

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

}  // namespace lodestack

#endif  // LODESTACK_ERROR_ERROR_H_
