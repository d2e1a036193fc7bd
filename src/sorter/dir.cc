#include "sorter/dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "sorter/dir_name.h"

namespace lodestack::sorter {

namespace {

constexpr std::string_view kPrefix = "lodestack-";
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomChars = 6;

// A fast generator for names, not for secrets: the names only need to avoid colliding,
// and mkdir's exclusive creation is what keeps two sorters apart. One per thread, so
// concurrent sorters never contend for it.
class NameRng {
 public:
  NameRng() {
    // Seeded once per thread from what differs between threads and runs; no system
    // call is worth it here, since a collision only costs another attempt (and the
    // fourth attempt re-seeds from the entropy source).
    static std::atomic<std::uint64_t> threads_seen{0};
    state_ = static_cast<std::uint64_t>(
                 std::chrono::steady_clock::now().time_since_epoch().count()) ^
             (std::hash<std::thread::id>{}(std::this_thread::get_id()) << 1) ^
             reinterpret_cast<std::uintptr_t>(this) ^
             (threads_seen.fetch_add(1, std::memory_order_relaxed) * 0x9e3779b97f4a7c15);
  }

  // Replaces the state with 8 bytes from the entropy source; keeps it if that fails.
  void reseed_from_entropy() {
    std::uint64_t seed;
    if (getentropy(&seed, sizeof seed) == 0) state_ = seed;
  }

  // A letter or digit, each of the 62 equally likely.
  char next_char() {
    for (;;) {
      // 6 bits give 0..63; 62 and 63 are redrawn, which keeps the draw uniform.
      std::uint64_t word = next();
      for (int i = 0; i < 10; ++i, word >>= 6) {
        const std::uint64_t pick = word & 63;
        if (pick < kAlphabet.size()) return kAlphabet[pick];
      }
    }
  }

 private:
  // splitmix64: one add and two multiplies per draw, and every 64-bit state is fine.
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }

  std::uint64_t state_;
};

thread_local NameRng tls_rng;

void append_hex(std::string& out, unsigned value, bool braces) {
  static constexpr char kDigits[] = "0123456789abcdef";
  static constexpr char kUpper[] = "0123456789ABCDEF";
  if (braces) {
    // \u{1b}: lower-case hex without leading zeros.
    out += "\\u{";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
      const unsigned nibble = (value >> shift) & 15;
      if (nibble != 0 || started || shift == 0) {
        out += kDigits[nibble];
        started = true;
      }
    }
    out += '}';
  } else {
    out += "\\x";
    out += kUpper[value >> 4];
    out += kUpper[value & 15];
  }
}

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8_sequence(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned lead = byte(0);
  std::size_t len;
  unsigned min;
  unsigned code;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2, min = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3, min = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return len;
}

}  // namespace

std::string quote_for_message(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text[0]);
    const std::size_t len = utf8_sequence(text);
    if (len == 0) {
      append_hex(out, c, false);
      text.remove_prefix(1);
      continue;
    }
    if (len > 1) {
      out.append(text.substr(0, len));
      text.remove_prefix(len);
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          append_hex(out, c, true);
        } else {
          out += static_cast<char>(c);
        }
    }
    text.remove_prefix(1);
  }
  out += '"';
  return out;
}

Result<std::filesystem::path> make_unique_dir(const std::filesystem::path& absolute_parent,
                                              const MakeDir& make) {
  NameRng& rng = tls_rng;
  std::string name(kPrefix);
  for (std::uint32_t attempt = 0; attempt < kDirAttempts; ++attempt) {
    // Three collisions in a row suggest that another process follows the same sequence
    // of names (a forked child inherits its parent's generator): leave that sequence.
    if (attempt == 3) rng.reseed_from_entropy();
    name.resize(kPrefix.size());
    for (std::size_t i = 0; i < kRandomChars; ++i) name += rng.next_char();
    std::filesystem::path path = absolute_parent / name;
    const int err = make(path);
    if (err == 0) return path;
    if (err == EEXIST || err == EADDRINUSE) continue;
    return fail(Error::from_errno(
        err, Error::from_errno(err).text() + " at path " + quote_for_message(path.native())));
  }
  return fail(Error::io(
      ErrorKind::kAlreadyExists,
      "too many temporary files exist at path " + quote_for_message(absolute_parent.native())));
}

Result<TempDir> TempDir::make(const std::filesystem::path& parent) {
  std::filesystem::path absolute = parent;
  if (parent.is_relative()) {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec) return fail(path_error(parent, ec.value()));
    absolute = cwd / parent;
  }
  // 0700, not 0777 less the umask: the runs hold the user's data, and the parent is
  // usually a temporary directory that every local user can read.
  Result<std::filesystem::path> made =
      make_unique_dir(absolute, [](const std::filesystem::path& path) {
        return ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
      });
  if (!made) return fail(made.error().with_path(parent));
  return TempDir(std::move(*made));
}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void TempDir::remove() noexcept {
  if (path_.empty()) return;
  // Scratch files only: a failure to remove them leaves litter, nothing worse, and
  // there is no one to tell at this point.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

}  // namespace lodestack::sorter
