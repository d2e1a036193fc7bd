// The extension module `lodestack._lodestack`: multi-phase initialisation, declaring that
// it needs no GIL. Its one attribute is the class `Sorter`.
#include <Python.h>

#include "python/binding.h"

namespace lodestack::python {
namespace {

int exec_module(PyObject* module) {
  if (sorter_type == nullptr) {
    // Type objects are made once per process and kept: every import shares them.
    internal_fault = PyErr_NewExceptionWithDoc(
        "lodestack.InternalFault",
        "An invariant of lodestack broke, or one of its threads ended abnormally.",
        PyExc_BaseException, nullptr);
    if (internal_fault == nullptr) return -1;
    if (init_sorter_type(module) < 0 || init_iterator_type(module) < 0) return -1;
  }
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  if (PyModule_AddObjectRef(module, "Sorter", reinterpret_cast<PyObject*>(sorter_type)) < 0) {
    return -1;
  }
  Ref name = Ref::steal(PyUnicode_FromString("Sorter"));
  if (!name) return -1;
  return PyList_Append(all.get(), name.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_lodestack",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace lodestack::python

PyMODINIT_FUNC PyInit__lodestack() { return PyModuleDef_Init(&lodestack::python::module_def); }
