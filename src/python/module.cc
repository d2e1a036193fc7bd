// The extension module `lodestack._lodestack`: multi-phase initialisation, declaring that
// it needs no GIL. Its one attribute is the class `Sorter`.
#include <Python.h>

#include "python/binding.h"

namespace lodestack::python {
namespace {

// Guards the making of the type objects, so that two execs at once (on the free-threaded
// build, or on the default one when it switches threads inside the C API) cannot both
// make them. PyMutex, unlike std::mutex, detaches while it waits: the exec holding it
// calls into Python, which in the default build needs the GIL that a waiter would hold.
PyMutex types_mutex{};

// Makes the type objects on the first call that succeeds; every import shares them.
// They are published together or not at all, so a failed exec leaves nothing half made
// for a later one, which tries again. 0 or -1.
int make_types() {
  PyMutex_Lock(&types_mutex);
  const int made = [] {
    if (sorter_type != nullptr) return 0;
    Ref fault = Ref::steal(PyErr_NewExceptionWithDoc(
        "lodestack.InternalFault",
        "An invariant of lodestack broke, or one of its threads ended abnormally.",
        PyExc_BaseException, nullptr));
    if (!fault) return -1;
    Ref sorter = Ref::steal(reinterpret_cast<PyObject*>(make_sorter_type()));
    if (!sorter) return -1;
    Ref iterator = Ref::steal(reinterpret_cast<PyObject*>(make_iterator_type()));
    if (!iterator) return -1;
    Ref stats = Ref::steal(reinterpret_cast<PyObject*>(make_stats_type()));
    if (!stats) return -1;
    // The references pass to the globals, which keep them for the life of the process.
    internal_fault = fault.release();
    iterator_type = reinterpret_cast<PyTypeObject*>(iterator.release());
    stats_type = reinterpret_cast<PyTypeObject*>(stats.release());
    sorter_type = reinterpret_cast<PyTypeObject*>(sorter.release());
    return 0;
  }();
  PyMutex_Unlock(&types_mutex);
  return made;
}

int exec_module(PyObject* module) {
  if (make_types() < 0) return -1;
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
