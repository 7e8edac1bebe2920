// _core_fips_probe: drives pieces of the binding's toolkit that the module itself never reaches,
// so the tests can watch what they do to the interpreter's objects. Built beside the
// fault-injection twin; never shipped.
#include <Python.h>

#include <cxxabi.h>
#include <unistd.h>

#include <optional>
#include <utility>

#include "python/boundary.hpp"
#include "python/byte_view.hpp"
#include "python/compat.hpp"
#include "python/pyref.hpp"

namespace core_fips {

namespace {

// reassign_view(a, b): takes a view of each, then moves b's view over a's. Both exports must be
// released by the time it returns.
PyObject* reassign_view(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return call_boundary([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "reassign_view(a, b)");
      return nullptr;
    }
    std::optional<ByteView> first = ByteView::take(args[0]);
    if (!first) return nullptr;
    std::optional<ByteView> second = ByteView::take(args[1]);
    if (!second) return nullptr;
    *first = std::move(*second);
    Py_RETURN_NONE;
  });
}

// defer_references(o, n): takes n references to o and drops each inside the call, which hands them
// to the boundary's pending releases (the first in place, the rest in a heap list of 8 entries
// that doubles as it fills); all of them must be released by the time it returns.
PyObject* defer_references(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return call_boundary([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "defer_references(o, n)");
      return nullptr;
    }
    const long n = PyLong_AsLong(args[1]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    for (long i = 0; i < n; ++i) PyRef::borrow(args[0]);
    Py_RETURN_NONE;
  });
}

// witness_unwind(f): calls f() and returns its result; writes "forced unwind" to stderr when the
// interpreter ends the thread inside it by unwinding it (pthread_exit), then lets the unwind go on.
PyObject* witness_unwind(PyObject*, PyObject* callable) {
  try {
    return PyObject_CallNoArgs(callable);
  } catch (abi::__forced_unwind&) {
    static constexpr char kSeen[] = "forced unwind\n";
    [[maybe_unused]] auto written = write(2, kSeen, sizeof kSeen - 1);
    throw;
  }
}

// NullOwner(data): exports `data`'s bytes with view.obj left NULL, as PyBuffer_FillInfo(view,
// NULL, ...) and Cython exporters that never set info.obj do. The view then holds no reference:
// the caller keeps the exporter, and the exporter its bytes.
struct NullOwner {
  PyObject base;
  PyObject* data;
};

PyObject* null_owner_new(PyTypeObject* type, PyObject* args, PyObject*) {
  PyObject* data = nullptr;
  if (!PyArg_ParseTuple(args, "S", &data)) return nullptr;
  PyObject* self = py::alloc_instance(type);
  if (!self) return nullptr;
  Py_INCREF(data);
  reinterpret_cast<NullOwner*>(self)->data = data;
  return self;
}

void null_owner_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<NullOwner*>(self)->data);
  py::free_instance(type, self);
  Py_DECREF(type);
}

int null_owner_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  PyObject* data = reinterpret_cast<NullOwner*>(self)->data;
  return PyBuffer_FillInfo(view, nullptr, PyBytes_AsString(data), PyBytes_Size(data), 1, flags);
}

PyType_Slot null_owner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(null_owner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(null_owner_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(null_owner_getbuffer)},
    {0, nullptr},
};

PyType_Spec null_owner_spec = {"_core_fips_probe.NullOwner", static_cast<int>(sizeof(NullOwner)), 0,
                               Py_TPFLAGS_DEFAULT, null_owner_slots};

int probe_exec(PyObject* module) {
  PyObject* type = PyType_FromSpec(&null_owner_spec);
  if (!type) return -1;
  const int added = PyObject_SetAttrString(module, "NullOwner", type);
  Py_DECREF(type);
  return added;
}

PyMethodDef probe_methods[] = {
    {"witness_unwind", witness_unwind, METH_O, nullptr},
    {"defer_references",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(defer_references)), METH_FASTCALL,
     nullptr},
    {"reassign_view", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reassign_view)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(probe_exec)}, py::gil_slot(), {0, nullptr}};

PyModuleDef probe_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_core_fips_probe",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = probe_methods,
    .m_slots = probe_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace core_fips

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core_fips_probe() {
  return PyModuleDef_Init(&core_fips::probe_definition);
}
