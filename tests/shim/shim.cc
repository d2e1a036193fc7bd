// A test-only LD_PRELOAD library that makes reads and writes of run files misbehave on
// purpose, so that the Python tests can reach slow spills, failed spills, short transfers
// and interrupted waits deterministically instead of hoping for them.
//
// It interposes `read` and `write`. A call is affected only when its descriptor names a
// file whose base name starts with LODESTACK_SHIM_MATCH (default "run-"), found through
// /proc/self/fd, and only at file offsets of at least LODESTACK_SHIM_<OP>_FROM (default 0).
// Everything is steered by environment variables, read at every call so that a test may
// set them after the interpreter has started; <OP> is READ or WRITE:
//
//   LODESTACK_SHIM_<OP>_GATE="G:N"   before the first affected call goes on, write one byte
//                                     to descriptor N, then block until descriptor G reads
//                                     end-of-file (the test closes the other end of a pipe);
//                                     the gate stays open from then on
//   LODESTACK_SHIM_<OP>_FAIL="E:B"   once B bytes have passed in affected calls, fail with
//                                     errno E (a call crossing B transfers what fits first)
//   LODESTACK_SHIM_<OP>_MAX="K"      transfer at most K bytes per affected call
//   LODESTACK_SHIM_<OP>_EINTR="K"    fail the first K affected calls with EINTR
//
// Two more switches, not tied to run files, run a resource out on request:
//
//   LODESTACK_SHIM_NEW_FAIL="T"      the next operator new on the thread whose kernel thread
//                                     id is T throws std::bad_alloc; once per process, so
//                                     that the cleanup after it can allocate
//   LODESTACK_SHIM_THREAD_FAIL="E"   pthread_create fails with error number E
//
// The library never touches Python and keeps its counters in atomics, since spill threads,
// pool threads and the interpreter's own threads may all call in at once.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);

ReadFn real_read() {
  static const ReadFn fn = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
  return fn;
}

WriteFn real_write() {
  static const WriteFn fn = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
  return fn;
}

// What one kind of call has done so far; shared by every thread of the process.
struct Counters {
  std::atomic<unsigned long long> bytes{0};
  std::atomic<long> eintr_done{0};
  std::atomic<bool> gate_open{false};
};

Counters read_counters;
Counters write_counters;

const char* env(const char* op, const char* what) {
  char name[64];
  std::snprintf(name, sizeof name, "LODESTACK_SHIM_%s_%s", op, what);
  return std::getenv(name);
}

bool any_mode(const char* op) {
  return env(op, "GATE") != nullptr || env(op, "FAIL") != nullptr ||
         env(op, "MAX") != nullptr || env(op, "EINTR") != nullptr;
}

// Whether `fd` is a file this shim should disturb: by name, then by offset.
bool affected(const char* op, int fd) {
  char link[64];
  char target[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const char* base = strrchr(target, '/');
  base = base == nullptr ? target : base + 1;
  const char* match = std::getenv("LODESTACK_SHIM_MATCH");
  if (match == nullptr) match = "run-";
  if (strncmp(base, match, strlen(match)) != 0) return false;
  if (const char* from = env(op, "FROM")) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0 || at < std::atoll(from)) return false;
  }
  return true;
}

// Blocks the first affected caller, and any that arrive meanwhile, until the test lets
// them go. Signals interrupt the read with EINTR; the wait simply resumes.
void pass_gate(const char* setting, Counters& counters) {
  if (counters.gate_open.load()) return;
  int gate = -1;
  int notify = -1;
  if (std::sscanf(setting, "%d:%d", &gate, &notify) != 2) return;
  const char byte = 'b';
  (void)real_write()(notify, &byte, 1);
  char sink;
  for (;;) {
    const ssize_t n = real_read()(gate, &sink, 1);
    if (n == 0) break;
    if (n < 0 && errno != EINTR) break;
  }
  counters.gate_open.store(true);
}

// Applies the configured faults to one call. Returns true with `*result` set when the call
// must not reach the kernel; otherwise may shrink `*size`.
bool disturb(const char* op, Counters& counters, size_t* size, ssize_t* result) {
  if (const char* eintr = env(op, "EINTR")) {
    if (counters.eintr_done.fetch_add(1) < std::atol(eintr)) {
      errno = EINTR;
      *result = -1;
      return true;
    }
  }
  if (const char* gate = env(op, "GATE")) pass_gate(gate, counters);
  if (const char* max = env(op, "MAX")) {
    const size_t limit = static_cast<size_t>(std::atoll(max));
    if (limit > 0 && *size > limit) *size = limit;
  }
  if (const char* fail = env(op, "FAIL")) {
    int err = 0;
    unsigned long long after = 0;
    if (std::sscanf(fail, "%d:%llu", &err, &after) == 2) {
      const unsigned long long done = counters.bytes.load();
      if (done >= after && *size > 0) {
        errno = err;
        *result = -1;
        return true;
      }
      if (done + *size > after) *size = static_cast<size_t>(after - done);
    }
  }
  return false;
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buf, size_t count) {
  if (!any_mode("READ") || !affected("READ", fd)) return real_read()(fd, buf, count);
  ssize_t result = 0;
  if (disturb("READ", read_counters, &count, &result)) return result;
  result = real_read()(fd, buf, count);
  if (result > 0) read_counters.bytes.fetch_add(static_cast<unsigned long long>(result));
  return result;
}

// Fortified callers reach `read` through this entry point.
ssize_t __read_chk(int fd, void* buf, size_t count, size_t /*buflen*/) {
  return read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
  if (!any_mode("WRITE") || !affected("WRITE", fd)) return real_write()(fd, buf, count);
  ssize_t result = 0;
  if (disturb("WRITE", write_counters, &count, &result)) return result;
  result = real_write()(fd, buf, count);
  if (result > 0) write_counters.bytes.fetch_add(static_cast<unsigned long long>(result));
  return result;
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) noexcept {
  using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const CreateFn real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  if (const char* err = std::getenv("LODESTACK_SHIM_THREAD_FAIL")) return std::atoi(err);
  return real(thread, attr, start, arg);
}

}  // extern "C"

void* operator new(std::size_t size) {
  using NewFn = void* (*)(std::size_t);
  static const NewFn real = reinterpret_cast<NewFn>(dlsym(RTLD_NEXT, "_Znwm"));
  static std::atomic<bool> failed{false};
  if (const char* tid = std::getenv("LODESTACK_SHIM_NEW_FAIL")) {
    if (std::atol(tid) == gettid() && !failed.exchange(true)) throw std::bad_alloc();
  }
  return real(size);
}
