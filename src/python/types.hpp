// Class instances and their type objects. Each class has one process-wide TypeObjectCell, filled
// on first need under a once-guard and never emptied; every module object of the process shares
// the same type objects. An instance is the object header, the class's payload, then its
// BorrowCounter.
#pragma once

#include <Python.h>

#include <array>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "errors/internal_fault.hpp"
#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/compat.hpp"
#include "python/once.hpp"

namespace core_fips {

template <class Payload>
struct Instance {
  PyObject_HEAD
  Payload payload;
  BorrowCounter borrow;

  static Instance* from(PyObject* o) { return reinterpret_cast<Instance*>(o); }
};

// Everything needed to build one class's type object.
struct ClassDefinition {
  const char* class_name;  // the PyType_Spec name is "builtins." + this
  const char* doc;         // empty: no Py_tp_doc
  int basic_size;
  newfunc constructor;  // null: instantiation disallowed
  PyMethodDef* methods;
  PyGetSetDef* getset;  // may be null
  destructor release;
};

class TypeObjectCell {
 public:
  explicit TypeObjectCell(const ClassDefinition& definition) : definition_(definition) {}
  const ClassDefinition& definition() const { return definition_; }

 private:
  friend PyTypeObject* get_type(TypeObjectCell& cell);
  PyTypeObject* create();

  const ClassDefinition& definition_;
  OnceGuard once_;
  PyTypeObject* type_ = nullptr;
  // What PyType_FromSpec reads; kept here because the type refers to it for the process's life.
  std::string spec_name_;
  std::array<PyType_Slot, 7> slots_{};
  PyType_Spec spec_{};
};

// The cell's type object (borrowed), created first if the cell is empty; null with an exception
// set when creation fails.
PyTypeObject* get_type(TypeObjectCell& cell);

// A new instance of `type` holding `payload`; the payload is released if allocation fails.
// Allocated by the type's own tp_alloc, as object.__new__ would without its argument and
// abstract-class checks: they concern Python callers, and this is the module making its own object.
template <class Payload>
PyObject* new_instance(PyTypeObject* type, Payload&& payload) {
  PyObject* self = py::alloc_instance(type);
  if (!self) return nullptr;
  using P = std::decay_t<Payload>;
  auto* instance = Instance<P>::from(self);
  new (&instance->payload) P(std::forward<Payload>(payload));
  new (&instance->borrow) BorrowCounter();
  return self;
}

// Py_tp_dealloc of every class: releases the payload under fault containment, frees the object and
// drops its reference to the (heap) type.
template <class Payload>
void release_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  release_boundary(self, [&] {
    std::destroy_at(&Instance<Payload>::from(self)->payload);
    if (fault_injected("instance.release"))
      throw InternalFault("instance release", "injected fault");
  });
  py::free_instance(type, self);
  Py_DECREF(type);
}

}  // namespace core_fips
