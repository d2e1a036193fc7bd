// A test-only LD_PRELOAD library that makes reads and writes of run files misbehave on
// purpose, so that tests reach slow spills, failed spills, short transfers and interrupted
// waits deterministically instead of hoping for them.
//
// A `read` or `write` is affected only when its descriptor names a file whose base name
// starts with LODESTACK_SHIM_MATCH (default "run-"), at a file offset of at least
// LODESTACK_SHIM_<OP>_FROM (default 0). Settings are read at every call, so a test may set
// them after the interpreter started; <OP> is READ or WRITE:
//   LODESTACK_SHIM_<OP>_GATE="G:N"  the first affected call writes a byte to descriptor N,
//                                   then blocks until descriptor G reads end-of-file
//   LODESTACK_SHIM_<OP>_FAIL="E:B"  once B bytes have passed, fail with errno E
//   LODESTACK_SHIM_<OP>_MAX="K"     transfer at most K bytes per call
//   LODESTACK_SHIM_<OP>_EINTR="K"   fail the first K calls with EINTR
// Two more switches run a resource out on request, whatever the file:
//   LODESTACK_SHIM_NEW_FAIL="T"     the next operator new on kernel thread T throws
//                                   std::bad_alloc; once per process, so cleanup can allocate
//   LODESTACK_SHIM_THREAD_FAIL="E"  pthread_create fails with error number E
// Spill threads, pool threads and the interpreter may all call at once: counters are atomic.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
// Looked up at the first call: other libraries' constructors may read before ours run.
ssize_t real_read(int fd, void* buf, size_t n) {
  static const auto fn = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
  return fn(fd, buf, n);
}
ssize_t real_write(int fd, const void* buf, size_t n) {
  static const auto fn = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
  return fn(fd, buf, n);
}

struct Op {
  const char* name;
  std::atomic<unsigned long long> bytes{0};
  std::atomic<long> interrupted{0};
  std::atomic<bool> gate_open{false};

  const char* env(const char* what) const {
    char key[64];
    std::snprintf(key, sizeof key, "LODESTACK_SHIM_%s_%s", name, what);
    return std::getenv(key);
  }

  bool affects(int fd) const {
    if (!env("GATE") && !env("FAIL") && !env("MAX") && !env("EINTR")) return false;
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const char* base = strrchr(target, '/');
    const char* match = std::getenv("LODESTACK_SHIM_MATCH");
    if (!match) match = "run-";
    if (strncmp(base ? base + 1 : target, match, strlen(match)) != 0) return false;
    const char* from = env("FROM");
    return !from || lseek(fd, 0, SEEK_CUR) >= std::atoll(from);
  }

  // Returns true with *result set when the call must not reach the kernel; may shrink *size.
  bool disturb(size_t* size, ssize_t* result) {
    if (const char* k = env("EINTR"); k && interrupted.fetch_add(1) < std::atol(k)) {
      errno = EINTR;
      return (*result = -1), true;
    }
    int gate = -1;
    int note = -1;
    if (const char* g = env("GATE"); g && !gate_open && std::sscanf(g, "%d:%d", &gate, &note) == 2) {
      const char byte = 'b';
      (void)real_write(note, &byte, 1);
      char sink;
      ssize_t n;
      while ((n = real_read(gate, &sink, 1)) != 0 && (n > 0 || errno == EINTR)) {
      }
      gate_open = true;
    }
    if (const char* max = env("MAX"); max && *size > static_cast<size_t>(std::atoll(max))) {
      *size = static_cast<size_t>(std::atoll(max));
    }
    int err = 0;
    unsigned long long after = 0;
    if (const char* f = env("FAIL"); f && std::sscanf(f, "%d:%llu", &err, &after) == 2) {
      if (bytes >= after && *size > 0) {
        errno = err;
        return (*result = -1), true;
      }
      if (bytes + *size > after) *size = static_cast<size_t>(after - bytes);
    }
    return false;
  }
};

Op reads{"READ"};
Op writes{"WRITE"};

}  // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t count) {
  ssize_t result = 0;
  if (!reads.affects(fd)) return real_read(fd, buf, count);
  if (reads.disturb(&count, &result)) return result;
  result = real_read(fd, buf, count);
  if (result > 0) reads.bytes += static_cast<unsigned long long>(result);
  return result;
}

// Fortified callers reach `read` through this entry point.
ssize_t __read_chk(int fd, void* buf, size_t count, size_t) { return read(fd, buf, count); }

ssize_t write(int fd, const void* buf, size_t count) {
  ssize_t result = 0;
  if (!writes.affects(fd)) return real_write(fd, buf, count);
  if (writes.disturb(&count, &result)) return result;
  result = real_write(fd, buf, count);
  if (result > 0) writes.bytes += static_cast<unsigned long long>(result);
  return result;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) noexcept {
  using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  if (const char* err = std::getenv("LODESTACK_SHIM_THREAD_FAIL")) return std::atoi(err);
  return real(thread, attr, start, arg);
}

}  // extern "C"

void* operator new(std::size_t size) {
  static const auto real = reinterpret_cast<void* (*)(std::size_t)>(dlsym(RTLD_NEXT, "_Znwm"));
  static std::atomic<bool> failed{false};
  if (const char* tid = std::getenv("LODESTACK_SHIM_NEW_FAIL")) {
    if (std::atol(tid) == gettid() && !failed.exchange(true)) throw std::bad_alloc();
  }
  return real(size);
}
