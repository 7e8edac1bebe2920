#include "module/types.hpp"

#include <string>
#include <vector>

#include "module/pyref.hpp"

namespace core_fips {

namespace {

PyTypeObject* create_type(const ClassDefinition& d) {
  // The PyType_Spec's name string and slots must outlive the type: they live as long as the
  // process.
  auto* name = new std::string(std::string("builtins.") + d.class_name);
  auto* slots = new std::vector<PyType_Slot>();
  if (d.doc && d.doc[0] != '\0') slots->push_back({Py_tp_doc, const_cast<char*>(d.doc)});
  if (d.constructor) slots->push_back({Py_tp_new, reinterpret_cast<void*>(d.constructor)});
  slots->push_back({Py_tp_methods, d.methods});
  if (d.getset) slots->push_back({Py_tp_getset, d.getset});
  slots->push_back({Py_tp_base, &PyBaseObject_Type});
  slots->push_back({Py_tp_dealloc, reinterpret_cast<void*>(d.release)});
  slots->push_back({0, nullptr});
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (!d.constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  auto* spec = new PyType_Spec{name->c_str(), d.basic_size, 0, flags, slots->data()};

  PyObject* type = PyType_FromSpec(spec);
  if (!type) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", d.class_name);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // steals `cause`
    PyErr_SetRaisedException(error);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* get_type(TypeObjectCell& cell) {
  cell.once_.run([&] {
    cell.type_ = create_type(cell.definition_);
    return cell.type_ != nullptr;
  });
  return cell.type_;
}

}  // namespace core_fips
