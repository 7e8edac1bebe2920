// The call boundary: every entry from Python runs through call_boundary, which keeps the
// per-thread lock bookkeeping, turns a missing exception into SystemError, and contains internal
// faults (C++ exceptions) so that nothing unwinds into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <utility>

namespace core_fips {

// How many entries of this module the current thread is inside while holding the interpreter
// lock; zeroed while run_unlocked has released it.
extern thread_local long tls_lock_depth;

class LockDepthScope {
 public:
  LockDepthScope() { ++tls_lock_depth; }
  ~LockDepthScope() { --tls_lock_depth; }
  LockDepthScope(const LockDepthScope&) = delete;
  LockDepthScope& operator=(const LockDepthScope&) = delete;
};

// The class of internal faults: derived from BaseException, created once per process, not an
// attribute of the module. Returns a borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

// Sets the Python exception for the fault being handled (called from a catch block). Memory
// exhaustion becomes MemoryError; every other fault becomes PanicException. A second fault while
// containing the first aborts the process.
void contain_current_fault() noexcept;

// Same containment, for instance release: the fault is reported as unraisable and cleared.
void contain_current_fault_in_release(PyObject* instance) noexcept;  // reported against its type

// Ensures a failed body leaves an exception set.
PyObject* require_exception_set();

template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
  LockDepthScope depth;
  try {
    PyObject* result = body();
    return result ? result : require_exception_set();
  } catch (...) {
    contain_current_fault();
    return nullptr;
  }
}

// Variant for slots whose failure value is -1 (the module's exec step).
template <class Body>
int call_boundary_int(Body&& body) noexcept {
  LockDepthScope depth;
  try {
    int result = body();
    if (result < 0 && !PyErr_Occurred()) require_exception_set();
    return result;
  } catch (...) {
    contain_current_fault();
    return -1;
  }
}

// Variant for instance release: a fault is reported and the release goes on.
template <class Body>
void release_boundary(PyObject* instance, Body&& body) noexcept {
  LockDepthScope depth;
  try {
    body();
  } catch (...) {
    contain_current_fault_in_release(instance);
  }
}

// Runs `work` with the interpreter lock released and returns its value after taking the lock
// back; the lock is retaken also when `work` ends in a fault. `work` must not touch any Python
// object.
template <class Work>
decltype(auto) run_unlocked(Work&& work) {
  struct Released {
    long saved_depth = std::exchange(tls_lock_depth, 0);
    PyThreadState* state = PyEval_SaveThread();
    ~Released() {
      PyEval_RestoreThread(state);
      tls_lock_depth = saved_depth;
    }
  } released;
  return work();
}

}  // namespace core_fips
