// The extension module `lodestack._keys`: `sort_key`, the key bytes a sorter sorts by, for
// use outside a sorter. It lives apart from `lodestack._lodestack`, whose one attribute is
// `Sorter`, and is built from the key encoding alone. It has no state and needs no GIL.
#include <Python.h>

#include "key/bytes.h"
#include "python/encode.h"

namespace lodestack::python {
namespace {

PyObject* sort_key(PyObject*, PyObject* value) {
  Bytes buffer;
  if (encode_key(value, buffer, 0) < 0) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                   static_cast<Py_ssize_t>(buffer.size()));
}

constexpr const char kSortKeyDoc[] =
    "sort_key(value, /)\n"
    "--\n"
    "\n"
    "Return the bytes a sorter sorts the sort key `value` by.\n"
    "\n"
    "`sort_key(a) < sort_key(b)` exactly when a sorter puts an item with key `a` before one with\n"
    "key `b`, and the bytes are equal exactly when the keys are equal to a sorter, which keeps\n"
    "such items in the order they were added (or only the first, with `unique=True`). So the\n"
    "bytes can key the items in another store, or split keys into ranges that processes sort\n"
    "apart and whose outputs, concatenated, are in order. You can rely on this:\n"
    "\n"
    "- The order is total over every kind of key, mixed kinds included: None < numbers < str <\n"
    "  bytes < tuple < list. Numbers compare exactly by value (`1`, `1.0` and `True` have the\n"
    "  same bytes, so have `-0.0` and `0.0`), NaN sorts after inf and every NaN has the same\n"
    "  bytes; str by code point, bytes by unsigned byte, tuples and lists element by element, a\n"
    "  shorter prefix first.\n"
    "- Within that order the bytes are Python's own order: `a < b` for two keys Python can\n"
    "  compare (and no NaN among them) gives `sort_key(a) < sort_key(b)`.\n"
    "- The bytes of a key stay the same across releases of lodestack with the same major\n"
    "  version, so they may be stored.\n"
    "- With `reverse=True` a sorter puts the keys in descending order of these bytes; equal\n"
    "  keys still come out in the order they were added.\n"
    "\n"
    "Raises:\n"
    "    TypeError: If `value` is not a sort key: an int (or anything with `__index__`), float,\n"
    "        str, bytes, None, or a tuple or list of them.\n"
    "    RecursionError: If `value` nests tuples and lists more than 256 deep.";

PyMethodDef methods[] = {
    {"sort_key", sort_key, METH_O, kSortKeyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_keys",
    .m_doc = "The order-preserving bytes of sort keys.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace lodestack::python

PyMODINIT_FUNC PyInit__keys() { return PyModuleDef_Init(&lodestack::python::module_def); }
