#include "error/error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace lodestack {

ErrorKind kind_of_errno(int err) {
  switch (err) {
    case ENOENT: return ErrorKind::kNotFound;
    case EACCES:
    case EPERM: return ErrorKind::kPermissionDenied;
    case ECONNREFUSED: return ErrorKind::kConnectionRefused;
    case ECONNRESET: return ErrorKind::kConnectionReset;
    case ECONNABORTED: return ErrorKind::kConnectionAborted;
    case EPIPE: return ErrorKind::kBrokenPipe;
    case EEXIST: return ErrorKind::kAlreadyExists;
    case EAGAIN: return ErrorKind::kWouldBlock;
    case ENOTDIR: return ErrorKind::kNotADirectory;
    case EISDIR: return ErrorKind::kIsADirectory;
    case ETIMEDOUT: return ErrorKind::kTimedOut;
    case EINTR: return ErrorKind::kInterrupted;
    case ENOMEM: return ErrorKind::kOutOfMemory;
    case EADDRINUSE: return ErrorKind::kAddrInUse;
    case ENOSPC: return ErrorKind::kStorageFull;
    case EFBIG: return ErrorKind::kFileTooLarge;
    default: return ErrorKind::kOther;
  }
}

std::string_view describe(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound: return "entity not found";
    case ErrorKind::kPermissionDenied: return "permission denied";
    case ErrorKind::kConnectionRefused: return "connection refused";
    case ErrorKind::kConnectionReset: return "connection reset";
    case ErrorKind::kConnectionAborted: return "connection aborted";
    case ErrorKind::kBrokenPipe: return "broken pipe";
    case ErrorKind::kAlreadyExists: return "entity already exists";
    case ErrorKind::kWouldBlock: return "operation would block";
    case ErrorKind::kNotADirectory: return "not a directory";
    case ErrorKind::kIsADirectory: return "is a directory";
    case ErrorKind::kTimedOut: return "timed out";
    case ErrorKind::kInterrupted: return "operation interrupted";
    case ErrorKind::kOutOfMemory: return "out of memory";
    case ErrorKind::kAddrInUse: return "address in use";
    case ErrorKind::kStorageFull: return "no storage space";
    case ErrorKind::kFileTooLarge: return "file too large";
    case ErrorKind::kInvalidData: return "invalid data";
    case ErrorKind::kUnexpectedEof: return "unexpected end of file";
    case ErrorKind::kOther: return "other error";
  }
  return "other error";
}

Error Error::from_errno(int err) {
  return Error(Type::kIo, kind_of_errno(err), err, std::string());
}

Error Error::from_errno(int err, std::string message) {
  return Error(Type::kIo, kind_of_errno(err), err, std::move(message));
}

Error Error::io(ErrorKind kind, std::string message) {
  return Error(Type::kIo, kind, 0, std::move(message));
}

Error Error::io(ErrorKind kind) { return Error(Type::kIo, kind, 0, std::string()); }

Error Error::invalid(std::string message) {
  return Error(Type::kInvalid, ErrorKind::kOther, 0, std::move(message));
}

Error Error::lost() { return Error(Type::kLost, ErrorKind::kOther, 0, std::string()); }

Error Error::with_context(std::string_view context) const {
  std::string message(context);
  message += ": ";
  message += text();
  return Error(type_, kind_, errno_, std::move(message));
}

Error Error::with_path(const std::filesystem::path& path) const {
  return with_context(path.native());
}

std::string Error::text() const {
  if (type_ == Type::kLost) {
    return "an earlier error lost records, so sorting cannot go on";
  }
  if (!message_.empty()) return message_;
  if (errno_ != 0) {
    char buffer[256];
    // The GNU strerror_r returns its text, which may or may not live in `buffer`.
    const char* const description = strerror_r(errno_, buffer, sizeof buffer);
    return std::string(description) + " (os error " + std::to_string(errno_) + ")";
  }
  return std::string(describe(kind_));
}

Error path_error(const std::filesystem::path& path, int err) {
  return Error::from_errno(err).with_path(path);
}

}  // namespace lodestack
