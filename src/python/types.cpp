#include "python/types.hpp"

#include <chrono>
#include <thread>

#include "errors/surface_texts.hpp"
#include "python/compat.hpp"

namespace core_fips {

PyTypeObject* TypeObjectCell::create() {
  const ClassDefinition& d = definition_;
  // Building the spec allocates: a C++ allocation failure here unwinds through the once-guard.
  if (fault_injected("type.create")) throw std::bad_alloc();
  // Creation may run Python code, which can hand the interpreter to another thread meanwhile.
  if (fault_injected("type.create.yield")) {
    run_unlocked([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
  }
  spec_name_ = std::string("builtins.") + d.class_name;
  std::size_t n = 0;
  if (d.doc && d.doc[0] != '\0') slots_[n++] = {Py_tp_doc, const_cast<char*>(d.doc)};
  if (d.constructor) slots_[n++] = {Py_tp_new, reinterpret_cast<void*>(d.constructor)};
  slots_[n++] = {Py_tp_methods, d.methods};
  if (d.getset) slots_[n++] = {Py_tp_getset, d.getset};
  slots_[n++] = {Py_tp_base, &PyBaseObject_Type};
  slots_[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(d.release)};
  slots_[n] = {0, nullptr};
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (!d.constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  spec_ = PyType_Spec{spec_name_.c_str(), d.basic_size, 0, flags, slots_.data()};

  PyObject* type = PyType_FromSpec(&spec_);
  if (!type) {
    PyObject* cause = py::take_exception();
    PyErr_Format(PyExc_RuntimeError, surface::kClassInitFailed, d.class_name);
    PyObject* error = py::take_exception();
    PyException_SetCause(error, cause);  // steals `cause`
    py::restore_exception(error);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* get_type(TypeObjectCell& cell) {
  const bool made = cell.once_.run([&] {
    cell.type_ = cell.create();
    return cell.type_ != nullptr;
  });
  return made ? cell.type_ : nullptr;
}

}  // namespace core_fips
