#include "python/pickle.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <unordered_map>
#include <vector>

#include "python/ref.h"

namespace lodestack::python {
namespace {

// The opcodes of protocol 5 that the fast path writes and reads (pickletools documents
// each one).
enum Opcode : std::uint8_t {
  kMark = '(',
  kEmptyTuple = ')',
  kStop = '.',
  kBinBytes = 'B',
  kShortBinBytes = 'C',
  kBinFloat = 'G',
  kBinInt = 'J',
  kBinInt1 = 'K',
  kBinInt2 = 'M',
  kNone = 'N',
  kBinUnicode = 'X',
  kBinGet = 'h',
  kLongBinGet = 'j',
  kTuple = 't',
  kProto = 0x80,
  kTuple1 = 0x85,
  kTuple2 = 0x86,
  kTuple3 = 0x87,
  kNewTrue = 0x88,
  kNewFalse = 0x89,
  kLong1 = 0x8a,
  kLong4 = 0x8b,
  kShortBinUnicode = 0x8c,
  kMemoize = 0x94,
  kFrame = 0x95,
};

constexpr std::uint8_t kProtocol = 5;
// PROTO and its version, then FRAME and its 8-byte length.
constexpr std::size_t kHeaderSize = 11;
// CPython leaves out the frame header when the frame would hold fewer bytes than this.
constexpr std::size_t kFrameMin = 4;
// Once a frame holds this many bytes CPython starts another before the next object, and
// data this long it writes outside any frame. A pickle that stays below it is one frame.
constexpr std::size_t kFrameTarget = 65536;
// How many memoized objects the writer scans for a repeat before it hashes them instead.
constexpr std::size_t kScanned = 16;
// The scratch space, on the C stack, that a typical item's memo and stack fit in.
constexpr std::size_t kArenaSize = 1024;

constexpr int kLittleEndian = Py_ASNATIVEBYTES_LITTLE_ENDIAN;  // and signed

void put_le(Bytes& out, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t get_le(const std::uint8_t* bytes, int size) {
  std::uint64_t value = 0;
  for (int i = 0; i < size; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

// Whether the top byte of a little-endian two's complement number only repeats the sign
// of the byte below it, so that the number is the same without it.
bool redundant(std::uint8_t top, std::uint8_t below) {
  return (top == 0x00 && (below & 0x80) == 0) || (top == 0xff && (below & 0x80) != 0);
}

// Writes one item as CPython's C pickler does. The memo borrows its objects: the item
// holds them, and nothing here runs code that could let them go.
class Dumper final {
 public:
  Dumper(Bytes& out, std::size_t start) : out_(out), start_(start) {}
  Dumper(const Dumper&) = delete;
  Dumper& operator=(const Dumper&) = delete;

  // False when the value is not one the fast path writes.
  bool dump(PyObject* value);

 private:
  bool dump_int(PyObject* value);
  bool dump_str(PyObject* value);
  bool dump_tuple(PyObject* value);
  void dump_data(Opcode short_op, Opcode op, const char* data, std::size_t size);
  // Refers back to `value` when this pickle holds it already; false if it does not.
  bool dump_repeat(PyObject* value);
  void memoize(PyObject* value);
  bool full() const { return out_.size() - start_ >= kHeaderSize + kFrameTarget; }

  Bytes& out_;
  const std::size_t start_;
  std::array<std::byte, kArenaSize> scratch_;
  std::pmr::monotonic_buffer_resource arena_{scratch_.data(), scratch_.size()};
  std::pmr::vector<PyObject*> memo_{&arena_};           // memo_[i] was memoized as i
  std::unordered_map<PyObject*, std::uint32_t> index_;  // memo_ inverted, once it is long
};

bool Dumper::dump(PyObject* value) {
  // The C pickler's order: bool and None before int, and the memo before str, bytes and
  // tuple; a subclass of any of these is not its base type here.
  PyTypeObject* const type = Py_TYPE(value);
  if (value == Py_None) {
    out_.push_back(kNone);
  } else if (value == Py_True || value == Py_False) {
    out_.push_back(value == Py_True ? kNewTrue : kNewFalse);
  } else if (type == &PyLong_Type) {
    return dump_int(value);
  } else if (type == &PyFloat_Type) {
    std::array<char, 8> packed;
    if (PyFloat_Pack8(PyFloat_AS_DOUBLE(value), packed.data(), 0) < 0) {
      PyErr_Clear();
      return false;
    }
    out_.push_back(kBinFloat);
    out_.insert(out_.end(), packed.begin(), packed.end());
  } else if (dump_repeat(value)) {
    // Written as a reference to its first appearance.
  } else if (type == &PyUnicode_Type) {
    return dump_str(value);
  } else if (type == &PyBytes_Type) {
    const Py_ssize_t size = PyBytes_GET_SIZE(value);
    if (static_cast<std::size_t>(size) >= kFrameTarget) return false;
    dump_data(kShortBinBytes, kBinBytes, PyBytes_AS_STRING(value),
              static_cast<std::size_t>(size));
    memoize(value);
  } else if (type == &PyTuple_Type) {
    return dump_tuple(value);
  } else {
    return false;
  }
  return true;
}

bool Dumper::dump_int(PyObject* value) {
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0 && small >= INT32_MIN && small <= INT32_MAX) {
    if (small >= 0 && small <= 0xff) {
      out_.push_back(kBinInt1);
      put_le(out_, static_cast<std::uint64_t>(small), 1);
    } else if (small >= 0 && small <= 0xffff) {
      out_.push_back(kBinInt2);
      put_le(out_, static_cast<std::uint64_t>(small), 2);
    } else {
      out_.push_back(kBinInt);
      put_le(out_, static_cast<std::uint64_t>(small), 4);
    }
    return true;
  }
  // LONG1 or LONG4: little-endian two's complement, in as few bytes as keep the sign.
  std::array<std::uint8_t, 8> word;
  std::pmr::vector<std::uint8_t> wide(&arena_);
  const std::uint8_t* digits = word.data();
  std::size_t size = word.size();
  if (overflow == 0) {
    for (std::size_t i = 0; i < size; ++i) {
      word[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(small) >> (8 * i));
    }
  } else {
    const Py_ssize_t bound = PyLong_AsNativeBytes(value, nullptr, 0, kLittleEndian);
    if (bound < 0 || static_cast<std::size_t>(bound) >= kFrameTarget) {
      PyErr_Clear();
      return false;
    }
    wide.resize(static_cast<std::size_t>(bound));
    const Py_ssize_t needed = PyLong_AsNativeBytes(value, wide.data(), bound, kLittleEndian);
    if (needed < 0 || needed > bound) {
      PyErr_Clear();
      return false;
    }
    digits = wide.data();
    size = wide.size();
  }
  while (size > 1 && redundant(digits[size - 1], digits[size - 2])) --size;
  if (size <= 0xff) {
    out_.push_back(kLong1);
    put_le(out_, size, 1);
  } else {
    out_.push_back(kLong4);
    put_le(out_, size, 4);
  }
  out_.insert(out_.end(), digits, digits + size);
  return true;
}

bool Dumper::dump_str(PyObject* value) {
  if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)) >= kFrameTarget) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  Ref encoded;
  if (data == nullptr) {
    // Lone surrogates have no UTF-8; pickle writes them as 'surrogatepass' encodes them.
    PyErr_Clear();
    encoded = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
    if (!encoded) {
      PyErr_Clear();
      return false;
    }
    data = PyBytes_AS_STRING(encoded.get());
    size = PyBytes_GET_SIZE(encoded.get());
  }
  if (static_cast<std::size_t>(size) >= kFrameTarget) return false;
  dump_data(kShortBinUnicode, kBinUnicode, data, static_cast<std::size_t>(size));
  memoize(value);
  return true;
}

bool Dumper::dump_tuple(PyObject* value) {
  const Py_ssize_t size = PyTuple_GET_SIZE(value);
  if (size == 0) {
    out_.push_back(kEmptyTuple);  // never memoized
    return true;
  }
  // Where pickle would raise RecursionError, let it.
  if (Py_EnterRecursiveCall(" while pickling an object") != 0) {
    PyErr_Clear();
    return false;
  }
  if (size > 3) out_.push_back(kMark);
  bool dumped = true;
  for (Py_ssize_t i = 0; i < size && dumped; ++i) {
    dumped = !full() && dump(PyTuple_GET_ITEM(value, i));
  }
  Py_LeaveRecursiveCall();
  if (!dumped) return false;
  // A tuple cannot hold itself, so it is not in the memo yet.
  out_.push_back(size > 3 ? std::uint8_t{kTuple}
                          : static_cast<std::uint8_t>(kTuple1 + size - 1));
  memoize(value);
  return true;
}

void Dumper::dump_data(Opcode short_op, Opcode op, const char* data, std::size_t size) {
  if (size <= 0xff) {
    out_.push_back(short_op);
    put_le(out_, size, 1);
  } else {
    out_.push_back(op);
    put_le(out_, size, 4);
  }
  out_.insert(out_.end(), data, data + size);
}

bool Dumper::dump_repeat(PyObject* value) {
  std::size_t index = 0;
  if (index_.empty()) {
    index =
        static_cast<std::size_t>(std::find(memo_.begin(), memo_.end(), value) - memo_.begin());
    if (index == memo_.size()) return false;
  } else {
    const auto found = index_.find(value);
    if (found == index_.end()) return false;
    index = found->second;
  }
  if (index <= 0xff) {
    out_.push_back(kBinGet);
    put_le(out_, index, 1);
  } else {
    out_.push_back(kLongBinGet);
    put_le(out_, index, 4);
  }
  return true;
}

void Dumper::memoize(PyObject* value) {
  memo_.push_back(value);
  if (!index_.empty()) {
    index_.emplace(value, memo_.size() - 1);
  } else if (memo_.size() > kScanned) {
    for (std::size_t i = 0; i < memo_.size(); ++i) index_.emplace(memo_[i], i);
  }
  out_.push_back(kMemoize);
}

// Reads what Dumper writes, and declines everything else: a different layout, a truncated
// or malformed one, or bytes after STOP.
class Loader final {
 public:
  explicit Loader(ByteView data) : data_(data) {}
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;
  ~Loader() {
    for (PyObject* const object : stack_) Py_DECREF(object);
  }

  // A new reference, or null, perhaps with an exception set.
  PyObject* load();

 private:
  // The next `size` bytes, or null when fewer remain.
  const std::uint8_t* take(std::uint64_t size);
  // Steals `object`; false (and nothing pushed) when it is null.
  bool push(PyObject* object);
  bool load_int(int size);
  bool load_long(int size_size);
  bool load_float();
  bool load_data(int size_size, bool text);
  // Replaces the top `size` objects, all above the last mark, by a tuple of them.
  bool load_tuple(std::size_t size);
  bool load_repeat(int size);
  std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

  const ByteView data_;
  std::size_t pos_ = 0;
  std::array<std::byte, kArenaSize> scratch_;
  std::pmr::monotonic_buffer_resource arena_{scratch_.data(), scratch_.size()};
  std::pmr::vector<PyObject*> stack_{&arena_};  // owned
  std::pmr::vector<std::size_t> marks_{&arena_};
  // Borrowed: each is on the stack or inside a tuple there, as nothing is ever popped.
  std::pmr::vector<PyObject*> memo_{&arena_};
};

PyObject* Loader::load() {
  const std::uint8_t* bytes = take(2);
  if (bytes == nullptr || bytes[0] != kProto || bytes[1] != kProtocol) return nullptr;
  if (pos_ < data_.size() && data_[pos_] == kFrame) {
    bytes = take(9);
    if (bytes == nullptr || get_le(bytes + 1, 8) != data_.size() - pos_) return nullptr;
  }
  for (;;) {
    bytes = take(1);
    if (bytes == nullptr) return nullptr;
    bool loaded = true;
    switch (*bytes) {
      case kNone: loaded = push(Py_NewRef(Py_None)); break;
      case kNewTrue: loaded = push(Py_NewRef(Py_True)); break;
      case kNewFalse: loaded = push(Py_NewRef(Py_False)); break;
      case kBinInt1: loaded = load_int(1); break;
      case kBinInt2: loaded = load_int(2); break;
      case kBinInt: loaded = load_int(4); break;
      case kLong1: loaded = load_long(1); break;
      case kLong4: loaded = load_long(4); break;
      case kBinFloat: loaded = load_float(); break;
      case kShortBinUnicode: loaded = load_data(1, true); break;
      case kBinUnicode: loaded = load_data(4, true); break;
      case kShortBinBytes: loaded = load_data(1, false); break;
      case kBinBytes: loaded = load_data(4, false); break;
      case kEmptyTuple: loaded = push(PyTuple_New(0)); break;
      case kTuple1: loaded = load_tuple(1); break;
      case kTuple2: loaded = load_tuple(2); break;
      case kTuple3: loaded = load_tuple(3); break;
      case kMark: marks_.push_back(stack_.size()); break;
      case kTuple:
        if (marks_.empty()) return nullptr;
        {
          const std::size_t mark = marks_.back();
          marks_.pop_back();
          loaded = load_tuple(stack_.size() - mark);
        }
        break;
      case kMemoize:
        if (stack_.size() <= fence()) return nullptr;
        memo_.push_back(stack_.back());
        break;
      case kBinGet: loaded = load_repeat(1); break;
      case kLongBinGet: loaded = load_repeat(4); break;
      case kStop: {
        if (pos_ != data_.size() || !marks_.empty() || stack_.size() != 1) return nullptr;
        PyObject* const item = stack_.back();
        stack_.pop_back();
        return item;
      }
      default: return nullptr;
    }
    if (!loaded) return nullptr;
  }
}

const std::uint8_t* Loader::take(std::uint64_t size) {
  if (data_.size() - pos_ < size) return nullptr;
  const std::uint8_t* const bytes = data_.data() + pos_;
  pos_ += static_cast<std::size_t>(size);
  return bytes;
}

bool Loader::push(PyObject* object) {
  Ref owned = Ref::steal(object);
  if (!owned) return false;
  stack_.push_back(owned.get());
  owned.release();
  return true;
}

bool Loader::load_int(int size) {
  const std::uint8_t* const bytes = take(static_cast<std::uint64_t>(size));
  if (bytes == nullptr) return false;
  const std::uint64_t raw = get_le(bytes, size);
  // BININT is signed; BININT1 and BININT2 are not.
  const long long value = size == 4 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(raw))
                                    : static_cast<long long>(raw);
  return push(PyLong_FromLongLong(value));
}

bool Loader::load_long(int size_size) {
  const std::uint8_t* const bytes = take(static_cast<std::uint64_t>(size_size));
  if (bytes == nullptr) return false;
  const std::uint64_t size = get_le(bytes, size_size);
  if (size_size == 4 && size > INT32_MAX) return false;  // pickle refuses a negative count
  const std::uint8_t* const digits = take(size);
  if (digits == nullptr) return false;
  if (size == 0) return push(PyLong_FromLong(0));
  return push(PyLong_FromNativeBytes(digits, static_cast<std::size_t>(size), kLittleEndian));
}

bool Loader::load_float() {
  const std::uint8_t* const bytes = take(8);
  if (bytes == nullptr) return false;
  const double value = PyFloat_Unpack8(reinterpret_cast<const char*>(bytes), 0);
  if (value == -1.0 && PyErr_Occurred()) return false;
  return push(PyFloat_FromDouble(value));
}

bool Loader::load_data(int size_size, bool text) {
  const std::uint8_t* const bytes = take(static_cast<std::uint64_t>(size_size));
  if (bytes == nullptr) return false;
  const std::uint64_t size = get_le(bytes, size_size);
  const char* const data = reinterpret_cast<const char*>(take(size));
  if (data == nullptr) return false;
  const auto length = static_cast<Py_ssize_t>(size);
  if (text) return push(PyUnicode_DecodeUTF8(data, length, "surrogatepass"));
  // Filled after it is made, as pickle does: a bytes of one byte is then a new object,
  // not the cached one, so that two of them are two objects in both.
  PyObject* const bytes_object = PyBytes_FromStringAndSize(nullptr, length);
  if (bytes_object != nullptr) std::memcpy(PyBytes_AS_STRING(bytes_object), data, size);
  return push(bytes_object);
}

bool Loader::load_tuple(std::size_t size) {
  if (stack_.size() - fence() < size) return false;
  PyObject* const tuple = PyTuple_New(static_cast<Py_ssize_t>(size));
  if (tuple == nullptr) return false;
  const std::size_t first = stack_.size() - size;
  for (std::size_t i = 0; i < size; ++i) {
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), stack_[first + i]);  // steals
  }
  stack_.resize(first);
  return push(tuple);
}

bool Loader::load_repeat(int size) {
  const std::uint8_t* const bytes = take(static_cast<std::uint64_t>(size));
  if (bytes == nullptr) return false;
  const std::uint64_t index = get_le(bytes, size);
  if (index >= memo_.size()) return false;
  return push(Py_NewRef(memo_[static_cast<std::size_t>(index)]));
}

}  // namespace

bool dump_fast(PyObject* item, Bytes& out) {
  const std::size_t start = out.size();
  out.insert(out.end(), {kProto, kProtocol, kFrame, 0, 0, 0, 0, 0, 0, 0, 0});
  if (!Dumper(out, start).dump(item) || out.size() - start >= kHeaderSize + kFrameTarget) {
    out.resize(start);
    return false;
  }
  out.push_back(kStop);
  const std::size_t framed = out.size() - start - kHeaderSize;
  if (framed >= kFrameMin) {
    for (int i = 0; i < 8; ++i) {
      out[start + 3 + i] = static_cast<std::uint8_t>(framed >> (8 * i));
    }
  } else {
    const auto begin = out.begin() + static_cast<std::ptrdiff_t>(start);
    out.erase(begin + 2, begin + kHeaderSize);
  }
  return true;
}

PyObject* load_fast(ByteView data) {
  PyObject* const item = Loader(data).load();
  if (item == nullptr) PyErr_Clear();
  return item;
}

}  // namespace lodestack::python
