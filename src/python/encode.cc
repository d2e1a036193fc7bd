#include "python/encode.h"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "key/key.h"

namespace lodestack::python {
namespace {

static_assert(sizeof(long long) == sizeof(std::int64_t));

// Owns one strong reference for the length of a scope.
class Owned final {
 public:
  explicit Owned(PyObject* object) : object_(object) {}
  ~Owned() { Py_XDECREF(object_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  PyObject* get() const { return object_; }

 private:
  PyObject* object_;
};

ByteView view_of(char const* data, Py_ssize_t size) {
  return ByteView(reinterpret_cast<std::uint8_t const*>(data), static_cast<std::size_t>(size));
}

int fail_too_deep() {
  PyErr_Format(PyExc_RecursionError, "a sort key is nested more than %d deep", kMaxKeyDepth);
  return -1;
}

int fail_unsupported(PyObject* value) {
  // Unlike type_name, an error reading the name is raised: the caller is raising anyway.
  PyObject* const name = PyType_GetName(Py_TYPE(value));
  if (name == nullptr) return -1;
  Owned const owned(name);
  PyErr_Format(PyExc_TypeError,
               "a sort key must be an int, float, str, bytes, None, or a tuple or list of "
               "them, not %U",
               name);
  return -1;
}

// An int too wide for 64 bits. The digits come from int's own methods, looked up on the
// type rather than the value so that a subclass's overrides are not used: its stored value
// is what counts.
int push_wide_int(PyObject* value, Bytes& buffer) {
  Owned const bit_length(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "bit_length", "O", value));
  if (bit_length.get() == nullptr) return -1;
  Py_ssize_t const bits = PyLong_AsSsize_t(bit_length.get());
  if (bits == -1 && PyErr_Occurred()) return -1;

  // One byte more than the magnitude needs leaves room for the sign bit.
  Owned const to_bytes(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
  if (to_bytes.get() == nullptr) return -1;
  Owned const args(Py_BuildValue("(Ons)", value, bits / 8 + 1, "big"));
  if (args.get() == nullptr) return -1;
  Owned const kwargs(Py_BuildValue("{s:O}", "signed", Py_True));
  if (kwargs.get() == nullptr) return -1;
  Owned const digits(PyObject_Call(to_bytes.get(), args.get(), kwargs.get()));
  if (digits.get() == nullptr) return -1;
  if (!PyBytes_Check(digits.get())) {
    PyErr_SetString(PyExc_SystemError, "int.to_bytes did not return bytes");
    return -1;
  }

  ByteView const twos =
      view_of(PyBytes_AS_STRING(digits.get()), PyBytes_GET_SIZE(digits.get()));
  if (twos.empty() || twos[0] <= 127) {
    key::push_big_int(buffer, false, twos);
    return 0;
  }
  // Negative: the magnitude is the two's-complement negation. The bytes object is shared
  // with nobody, but it is still an immutable object, so negate a copy.
  Bytes magnitude(twos.begin(), twos.end());
  for (std::uint8_t& b : magnitude) b = ~b;
  for (std::size_t i = magnitude.size(); i-- > 0;) {
    if (++magnitude[i] != 0) break;
  }
  key::push_big_int(buffer, true, magnitude);
  return 0;
}

int push_int_unguarded(PyObject* value, Bytes& buffer) {
  // Both reads take an int subclass's stored value without calling any of its methods. Most
  // ints are a single digit, read inline without a call into the interpreter.
  auto const* const as_long = reinterpret_cast<PyLongObject const*>(value);
  if (PyUnstable_Long_IsCompact(as_long)) {
    key::push_i64(buffer, PyUnstable_Long_CompactValue(as_long));
    return 0;
  }
  int overflow = 0;
  long long const small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0) return push_wide_int(value, buffer);
  if (small == -1 && PyErr_Occurred()) return -1;
  key::push_i64(buffer, small);
  return 0;
}

// One walk over a top-level key. It keeps what the walk may need more than once, so that a
// key holding many integer-like objects imports operator.index once, and nothing outlives
// the call: a cache across calls would need a thread-safe one-time setup and would still
// outlive a finalized interpreter.
class Walk final {
 public:
  Walk() = default;
  ~Walk() { Py_XDECREF(index_); }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  int encode(PyObject* value, Bytes& buffer, int depth) {
    // The exact built-in types first, each a pointer comparison. An instance of one of them
    // passes only its own test of the ordered chain below, so this changes no outcome; it
    // spares the common keys the chain's subclass tests (the float test is a call).
    PyTypeObject const* const type = Py_TYPE(value);
    if (type == &PyLong_Type) return push_int_unguarded(value, buffer);
    if (type == &PyFloat_Type) {
      key::push_double(buffer, PyFloat_AS_DOUBLE(value));
      return 0;
    }
    if (type == &PyUnicode_Type) return encode_str(value, buffer);
    if (type == &PyTuple_Type) return encode_tuple(value, buffer, depth);
    return encode_in_order(value, buffer, depth);
  }

 private:
  // The type tests in their defined order. The subclass tests read the type's flags (the
  // float test walks the type's bases), so subclasses count and are encoded by their stored
  // value.
  int encode_in_order(PyObject* value, Bytes& buffer, int depth) {
    if (PyLong_Check(value)) return push_int_unguarded(value, buffer);
    if (PyUnicode_Check(value)) return encode_str(value, buffer);
    if (PyFloat_Check(value)) {
      key::push_double(buffer, PyFloat_AS_DOUBLE(value));
      return 0;
    }
    if (PyTuple_Check(value)) return encode_tuple(value, buffer, depth);
    if (value == Py_None) {
      buffer.push_back(key::kTagNone);
      return 0;
    }
    if (PyBytes_Check(value)) {
      key::push_escaped(buffer, key::kTagBytes,
                        view_of(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)));
      return 0;
    }
    if (PyList_Check(value)) return encode_list(value, buffer, depth);
    return encode_index(value, buffer);
  }

  int encode_str(PyObject* value, Bytes& buffer) {
    Py_ssize_t size = 0;
    char const* const utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 != nullptr) {
      key::push_escaped(buffer, key::kTagStr, view_of(utf8, size));
      return 0;
    }
    // Lone surrogates have no UTF-8 form. Written as surrogatepass writes them, they keep
    // code point order (0xD800-0xDFFF fall between 0xD7FF and 0xE000). Called through str
    // itself so that a subclass's own encode is not used.
    PyErr_Clear();
    Owned const encoded(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                            "encode", "Oss", value, "utf-8", "surrogatepass"));
    if (encoded.get() == nullptr) return -1;
    if (!PyBytes_Check(encoded.get())) {
      PyErr_SetString(PyExc_SystemError, "str.encode did not return bytes");
      return -1;
    }
    key::push_escaped(
        buffer, key::kTagStr,
        view_of(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get())));
    return 0;
  }

  // The tag goes out before the depth test, so the deepest key has sequences at depths 0 to
  // kMaxKeyDepth - 1. Tuple elements are borrowed: a tuple cannot drop them while the
  // caller holds it.
  int encode_tuple(PyObject* value, Bytes& buffer, int depth) {
    buffer.push_back(key::kTagTuple);
    if (depth >= kMaxKeyDepth) return fail_too_deep();
    Py_ssize_t const size = PyTuple_GET_SIZE(value);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (encode(PyTuple_GET_ITEM(value, i), buffer, depth + 1) < 0) return -1;
    }
    buffer.push_back(key::kTagEnd);
    return 0;
  }

  // Another thread may change the list meanwhile. Each element is taken, with a reference
  // of our own, inside the list's critical section, which is left before the element is
  // encoded, since encoding may run Python code. So a concurrent change can only shorten
  // the walk: elements appended are ignored and a shrunk list ends early.
  int encode_list(PyObject* value, Bytes& buffer, int depth) {
    buffer.push_back(key::kTagList);
    if (depth >= kMaxKeyDepth) return fail_too_deep();
    Py_ssize_t const size = PyList_GET_SIZE(value);
    for (Py_ssize_t i = 0;; ++i) {
      PyObject* item = nullptr;
      Py_BEGIN_CRITICAL_SECTION(value);
      if (i < size && i < PyList_GET_SIZE(value)) item = Py_NewRef(PyList_GET_ITEM(value, i));
      Py_END_CRITICAL_SECTION();
      if (item == nullptr) break;
      Owned const owned(item);
      if (encode(item, buffer, depth + 1) < 0) return -1;
    }
    buffer.push_back(key::kTagEnd);
    return 0;
  }

  // Integer-like objects (NumPy's integer scalars among them) become numbers through
  // operator.index; anything else is refused.
  int encode_index(PyObject* value, Bytes& buffer) {
    int const has_index = PyObject_HasAttrStringWithError(
        reinterpret_cast<PyObject*>(Py_TYPE(value)), "__index__");
    if (has_index < 0) return -1;
    if (has_index == 0) return fail_unsupported(value);
    if (index_ == nullptr) {
      index_ = PyImport_ImportModuleAttrString("operator", "index");
      if (index_ == nullptr) return -1;
    }
    Owned const number(PyObject_CallOneArg(index_, value));
    if (number.get() == nullptr) return -1;
    return push_int_unguarded(number.get(), buffer);
  }

  PyObject* index_ = nullptr;  // operator.index, a strong reference once first needed
};

}  // namespace

int encode_key(PyObject* key, Bytes& buffer, int depth) {
  // The buffer's growth is the one thing here that can throw; nothing may unwind into the
  // interpreter, and the walk releases its references on the way out.
  try {
    Walk walk;
    return walk.encode(key, buffer, depth);
  } catch (std::bad_alloc const&) {
    PyErr_NoMemory();
  } catch (std::length_error const&) {
    PyErr_NoMemory();
  }
  return -1;
}

int push_int(PyObject* value, Bytes& buffer) {
  try {
    return push_int_unguarded(value, buffer);
  } catch (std::bad_alloc const&) {
    PyErr_NoMemory();
  } catch (std::length_error const&) {
    PyErr_NoMemory();
  }
  return -1;
}

std::string type_name(PyObject* value) {
  PyObject* const name = PyType_GetName(Py_TYPE(value));
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  Owned const owned(name);
  Py_ssize_t size = 0;
  char const* const utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  try {
    return std::string(utf8, static_cast<std::size_t>(size));
  } catch (std::bad_alloc const&) {
    return "?";
  }
}

}  // namespace lodestack::python
