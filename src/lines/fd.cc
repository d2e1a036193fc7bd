#include "lines/fd.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace lodestack::lines {
namespace {

// How long a wait for a non-blocking descriptor goes before it asks `stop` again.
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

// What to do after a call failed with `err`: go on (an empty result), or stop.
Result<void> after_failure(int fd, int err, short events, const sorter::Stop& stop) {
  if (err == EINTR) {
    if (asked_to_stop(stop)) return fail(interrupted());
    return {};
  }
  if (err == EAGAIN || err == EWOULDBLOCK) return wait_ready(fd, events, stop);
  return fail(Error::from_errno(err));
}

}  // namespace

Result<void> write_all(int fd, ByteView data, const sorter::Stop& stop) {
  while (!data.empty()) {
    ssize_t const n = ::write(fd, data.data(), data.size());
    if (n >= 0) {
      data = data.subspan(static_cast<std::size_t>(n));
      continue;
    }
    Result<void> next = after_failure(fd, errno, POLLOUT, stop);
    if (!next) return next;
  }
  return {};
}

Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buffer,
                              const sorter::Stop& stop) {
  for (;;) {
    ssize_t const n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    Result<void> next = after_failure(fd, errno, POLLIN, stop);
    if (!next) return fail(std::move(next.error()));
  }
}

}  // namespace lodestack::lines
