// The module definition and its exec step: registers the classes and functions, in a fixed
// order, keeping __all__ in step with them.
#include <Python.h>

#include "errors/internal_fault.hpp"
#include "errors/surface_texts.hpp"
#include "python/boundary.hpp"
#include "python/compat.hpp"
#include "python/conversions.hpp"
#include "python/entries.hpp"
#include "python/pyref.hpp"
#include "python/types.hpp"

namespace core_fips {

namespace {

// Registration order is part of the module's surface.
TypeObjectCell* const kClasses[] = {&token_cell, &hasher_cell, &verifying_hasher_cell};
PyMethodDef* const kFunctions[] = {&create_hash_def, &compare_hash_def, &encrypt_def,
                                   &fips_check_def};
// Registered after them, as attributes only: __all__ keeps its seven names.
PyMethodDef* const kAdditions[] = {&encrypt_mlkem_def};

// Appends `name` to __all__ (created on first use), then binds the attribute.
int register_value(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    set_type_mismatch(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw InternalFault(surface::kAllAppendFailed);
  }
  return PyObject_SetAttr(module, name, value);
}

// Binds a new function object for `definition` under its __name__, listed in __all__ or not.
int register_function(PyObject* module, PyMethodDef* definition, bool listed) {
  // No self, module or defining class: __self__ and __module__ are None.
  PyRef function = PyRef::steal(PyCMethod_New(definition, nullptr, nullptr, nullptr));
  if (!function) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    set_type_mismatch(name.get(), "str");
    return -1;
  }
  if (!listed) return PyObject_SetAttr(module, name.get(), function.get());
  return register_value(module, name.get(), function.get());
}

int module_exec(PyObject* module) {
  return call_boundary([&]() -> int {
    // The types are process-wide. The slot keeps isolated subinterpreters out; a legacy one (as
    // mod_wsgi runs each application in) reads it as advice, so it is refused here, in the
    // interpreter's own words.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
      PyErr_SetString(PyExc_ImportError,
                      "module _core_fips does not support loading in subinterpreters");
      return -1;
    }
    if (module == nullptr) return -1;
    if (!PyModule_Check(module)) {
      set_type_mismatch(module, "module");
      return -1;
    }
    for (TypeObjectCell* cell : kClasses) {
      PyTypeObject* type = get_type(*cell);
      if (!type) return -1;
      PyRef name = PyRef::steal(PyUnicode_FromString(cell->definition().class_name));
      if (!name || register_value(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) {
        return -1;
      }
    }
    for (PyMethodDef* definition : kFunctions) {
      if (register_function(module, definition, true) < 0) return -1;
    }
    for (PyMethodDef* definition : kAdditions) {
      if (register_function(module, definition, false) < 0) return -1;
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    py::interpreters_slot(),  // before the Py_mod_gil slot, which is newer
    py::gil_slot(),
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_core_fips",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace core_fips

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core_fips() {
  return PyModuleDef_Init(&core_fips::module_definition);
}
