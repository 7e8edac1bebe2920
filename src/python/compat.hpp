// The one place where the two builds of the binding differ. The full-API build (cp314, cp313t)
// uses the interpreter's macros and fields directly; the stable-ABI build (Py_LIMITED_API 3.11,
// one .abi3.so for 3.11 and later) reaches the same objects through the limited API's functions.
// Both give the same results, exceptions and texts; only these helpers know which build this is.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#if defined(Py_LIMITED_API)
#include <mutex>

#include "python/boundary.hpp"
#endif

namespace core_fips::py {

#if defined(Py_LIMITED_API)

inline Py_ssize_t tuple_size(PyObject* tuple) { return PyTuple_Size(tuple); }
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GetItem(tuple, i); }
inline char* bytes_data(PyObject* bytes) { return PyBytes_AsString(bytes); }
inline Py_ssize_t bytes_size(PyObject* bytes) { return PyBytes_Size(bytes); }

// PyVectorcall_NARGS joined the limited API in 3.12; the flag it strips is fixed by the ABI.
inline Py_ssize_t vectorcall_nargs(std::size_t nargsf) {
  constexpr std::size_t kArgumentsOffset = std::size_t{1} << (8 * sizeof(std::size_t) - 1);
  return static_cast<Py_ssize_t>(nargsf & ~kArgumentsOffset);
}

// The pending exception as one object (PyErr_GetRaisedException, 3.12), from its 3.11 triple:
// normalised, with its traceback attached. Null when none is pending; clears it.
inline PyObject* take_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  Py_DECREF(type);
  return value;
}
// Makes `exception` (a stolen reference, or null to clear) the pending one.
inline void restore_exception(PyObject* exception) {
  if (!exception) {
    PyErr_Restore(nullptr, nullptr, nullptr);
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

inline PyObject* call_method_one_arg(PyObject* self, PyObject* name, PyObject* arg) {
  return PyObject_CallMethodObjArgs(self, name, arg, nullptr);
}

// A str of ASCII text.
inline PyObject* ascii_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// PyTypeObject is opaque here: its slots are read through PyType_GetSlot.
inline PyObject* alloc_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}
inline void free_instance(PyTypeObject* type, PyObject* self) {
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
}

// Py_mod_multiple_interpreters (3.12) and Py_mod_gil (3.13), their numbers and values fixed by the
// ABI, where the running interpreter knows them: older ones refuse a module with a slot they do not
// know. Elsewhere an end marker.
inline PyModuleDef_Slot interpreters_slot() {
  constexpr int kModMultipleInterpreters = 3;
  if (Py_Version >= 0x030C0000) return {kModMultipleInterpreters, nullptr};  // NOT_SUPPORTED
  return {0, nullptr};
}
inline PyModuleDef_Slot gil_slot() {
  constexpr int kModGil = 4;
  if (Py_Version >= 0x030D0000) return {kModGil, reinterpret_cast<void*>(1)};  // NOT_USED
  return {0, nullptr};
}

// The once-guards' lock. PyMutex is not in the limited API, and every interpreter this build
// loads in has a GIL: a waiter that blocked while holding it would deadlock against a runner whose
// step needs it (any step that runs Python code may hand the GIL over). So a waiter gives the GIL
// away before it blocks, as PyMutex does, and takes it back once it holds the lock: no thread
// ever waits for this lock while holding the GIL. Callers hold the GIL.
class OnceMutex {
 public:
  void lock() {
    if (mutex_.try_lock()) return;
    PyThreadState* state = PyEval_SaveThread();
    mutex_.lock();
    try {
      retake_lock(state, tls_lock_depth);  // not from a destructor: see there
    } catch (abi::__forced_unwind&) {
      mutex_.unlock();  // the thread is ending: not with the lock others wait for
      throw;
    }
  }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

#else  // the full API

inline Py_ssize_t tuple_size(PyObject* tuple) { return PyTuple_GET_SIZE(tuple); }
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }
inline char* bytes_data(PyObject* bytes) { return PyBytes_AS_STRING(bytes); }
inline Py_ssize_t bytes_size(PyObject* bytes) { return PyBytes_GET_SIZE(bytes); }
inline Py_ssize_t vectorcall_nargs(std::size_t nargsf) { return PyVectorcall_NARGS(nargsf); }
inline PyObject* take_exception() { return PyErr_GetRaisedException(); }
inline void restore_exception(PyObject* exception) { PyErr_SetRaisedException(exception); }
inline PyObject* call_method_one_arg(PyObject* self, PyObject* name, PyObject* arg) {
  return PyObject_CallMethodOneArg(self, name, arg);
}

// Always ASCII: no decoding to do.
inline PyObject* ascii_text(std::string_view text) {
  PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (out) std::memcpy(PyUnicode_DATA(out), text.data(), text.size());
  return out;
}

inline PyObject* alloc_instance(PyTypeObject* type) { return type->tp_alloc(type, 0); }
inline void free_instance(PyTypeObject* type, PyObject* self) { type->tp_free(self); }

inline PyModuleDef_Slot interpreters_slot() {
  return {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
}
inline PyModuleDef_Slot gil_slot() { return {Py_mod_gil, Py_MOD_GIL_NOT_USED}; }

// PyMutex detaches the waiting thread from the interpreter while it blocks, so a waiter can never
// deadlock against it (a stop-the-world pause, or the GIL itself).
class OnceMutex {
 public:
  void lock() { PyMutex_Lock(&mutex_); }
  void unlock() { PyMutex_Unlock(&mutex_); }

 private:
  PyMutex mutex_{};
};

#endif

}  // namespace core_fips::py
