// The call boundary: every entry from Python runs through call_boundary, which keeps the
// per-thread lock bookkeeping, turns a missing exception into SystemError, and contains internal
// faults (C++ exceptions) so that nothing unwinds into the interpreter. Expected failures
// (CoreError) become ValueError here too.
#pragma once

#include <Python.h>

#include <cassert>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "errors/core_error.hpp"

namespace core_fips {

// How many entries of this module the current thread is inside while holding the interpreter
// lock; zeroed while run_unlocked has released it.
extern thread_local long tls_lock_depth;

// Debug builds stop when a Python reference or buffer is released while run_unlocked has given the
// lock away: such a release would touch the interpreter without holding it.
inline void assert_lock_held() {
  assert(tls_lock_depth > 0 && "Python object released without the interpreter lock");
}

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

// The one conversion of an expected failure into a Python exception: ValueError with the kind's
// display text as its only argument.
void set_python_error(CoreError error);

// Ensures a failed body leaves an exception set.
void require_exception_set();

// Runs an entry's body. The failure value is the body's own: null for a new reference, -1 for a
// slot returning int (the module's exec step).
template <class Body>
auto call_boundary(Body&& body) noexcept -> decltype(body()) {
  using Value = decltype(body());
  constexpr Value kFailure = [] {
    if constexpr (std::is_pointer_v<Value>)
      return Value{};
    else
      return Value{-1};
  }();
  LockDepthScope depth;
  try {
    Value result = body();
    if (result == kFailure) require_exception_set();
    return result;
  } catch (...) {
    contain_current_fault();
    return kFailure;
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
