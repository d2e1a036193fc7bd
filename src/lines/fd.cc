#include "lines/fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace lodestack::lines {
namespace {

// How long a wait for a descriptor goes before it asks `stop` again.
constexpr int kSliceMillis = 50;

bool asked_to_stop(const sorter::Stop& stop) { return stop && stop(); }

Error interrupted() { return Error::io(ErrorKind::kInterrupted); }

// Waits until `fd` is ready for `events` (or in error, which the next call then reports).
Result<void> wait_ready(int fd, short events, const sorter::Stop& stop) {
  for (;;) {
    pollfd ready{.fd = fd, .events = events, .revents = 0};
    int const n = ::poll(&ready, 1, kSliceMillis);
    if (n > 0) return {};
    if (n < 0 && errno != EINTR) return fail(Error::from_errno(errno));
    if (asked_to_stop(stop)) return fail(interrupted());
  }
}

// EBADF, as the call would fail, for a descriptor not open for `access` (O_RDONLY or
// O_WRONLY): waiting for it to become ready could last forever.
Result<void> check_open_for(int fd, int access) {
  int const flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return fail(Error::from_errno(errno));
  int const mode = flags & O_ACCMODE;
  if (mode != O_RDWR && mode != access) return fail(Error::from_errno(EBADF));
  return {};
}

// What to do after a call failed with `err`: go on (an empty result), or stop.
Result<void> after_failure(int err, const sorter::Stop& stop) {
  if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) {
    if (err == EINTR && asked_to_stop(stop)) return fail(interrupted());
    return {};  // the next wait_ready waits for a non-blocking descriptor
  }
  return fail(Error::from_errno(err));
}

}  // namespace

// Each call waits first, in slices, so that a signal that arrived while no call was in
// the kernel (and so interrupted none) is still seen within a slice. A write cut short
// is what a signal does to a blocking write that had begun.
Result<void> write_all(int fd, ByteView data, const sorter::Stop& stop) {
  Result<void> open_for = check_open_for(fd, O_WRONLY);
  if (!open_for) return open_for;
  while (!data.empty()) {
    Result<void> ready = wait_ready(fd, POLLOUT, stop);
    if (!ready) return ready;
    ssize_t const n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      Result<void> next = after_failure(errno, stop);
      if (!next) return next;
      continue;
    }
    bool const short_write = static_cast<std::size_t>(n) < data.size();
    data = data.subspan(static_cast<std::size_t>(n));
    if (short_write && asked_to_stop(stop)) return fail(interrupted());
  }
  return {};
}

Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer,
                              const sorter::Stop& stop) {
  Result<void> open_for = check_open_for(fd, O_RDONLY);
  if (!open_for) return fail(std::move(open_for.error()));
  for (;;) {
    Result<void> ready = wait_ready(fd, POLLIN, stop);
    if (!ready) return fail(std::move(ready.error()));
    ssize_t const n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    Result<void> next = after_failure(errno, stop);
    if (!next) return fail(std::move(next.error()));
  }
}

}  // namespace lodestack::lines
