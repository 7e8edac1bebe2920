// The call boundary: every entry from Python runs through call_boundary, which keeps the
// per-thread lock bookkeeping, turns a missing exception into SystemError, and contains internal
// faults (C++ exceptions) so that nothing unwinds into the interpreter. Expected failures
// (CoreError) become ValueError here too.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <cassert>
#include <climits>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "errors/core_error.hpp"

namespace core_fips {

// How many entries of this module the current thread is inside while holding the interpreter
// lock; zeroed while run_unlocked has released it.
// Initial-exec: read at a fixed offset from the thread pointer rather than through __tls_get_addr
// on every entry. The module's whole TLS segment then comes from the static TLS that glibc keeps
// for libraries loaded later, a few hundred bytes shared by all of them: 48 bytes, this, the
// pending count below, the first pending release, and the address and capacity of the heap list
// of the rest (boundary.cpp).
// tools/check-wheel refuses an extension whose segment outgrows its budget.
extern constinit thread_local long tls_lock_depth __attribute__((tls_model("initial-exec")));

// The lock depth of a thread being ended by a forced unwind: the frames then unwound must not touch
// any Python object. CPython up to 3.12 and 3.13.0 to 3.13.7 end a thread that wants the lock back
// during finalisation with pthread_exit (later ones hang it instead), and pthread_cancel ends one
// the same way. Python code may want the lock back (a sleep, a __del__, a __release_buffer__), so
// whatever calls it lets the unwind through, never under noexcept, and marks the thread.
inline constexpr long kThreadEnding = LONG_MIN / 2;

// Takes the lock back after PyEval_SaveThread and restores the lock depth. Never from a
// destructor: the forced unwind by which the interpreter may end the thread in here would meet
// noexcept there, and std::terminate.
inline void retake_lock(PyThreadState* state, long depth) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;
    throw;
  }
  tls_lock_depth = depth;
}

// Whether a Python reference or buffer may be released now: not while the thread is being ended
// without the lock (the process is going away; the object is left to it). Debug builds stop when
// one is released while run_unlocked has given the lock away.
inline bool may_release_python_objects() {
  if (tls_lock_depth < 0) return false;
  assert(tls_lock_depth > 0 && "Python object released without the interpreter lock");
  return true;
}

class LockDepthScope {
 public:
  LockDepthScope() { ++tls_lock_depth; }
  ~LockDepthScope() { --tls_lock_depth; }
  LockDepthScope(const LockDepthScope&) = delete;
  LockDepthScope& operator=(const LockDepthScope&) = delete;
};

// Releases that may run Python code: a reference whose drop may call __del__, a buffer export whose
// release calls the exporter's __release_buffer__ (3.12+). Destructors are noexcept, so they never
// make them: they hand them to the thread's pending list (nothing is released while the thread is
// ending), and the boundary that entered the module makes them after the body (release_pending),
// with the lock held, keeping a pending exception intact. A failure to record one leaves the object
// to the process.
void defer_release(PyObject* object) noexcept;
void defer_release(std::unique_ptr<Py_buffer> view) noexcept;
void release_pending_now();
// How many releases the thread has pending: checked by every boundary.
extern constinit thread_local std::size_t tls_pending_releases
    __attribute__((tls_model("initial-exec")));
inline void release_pending() {
  if (tls_pending_releases != 0) release_pending_now();
}

// The class of internal faults: derived from BaseException, created once per process, not an
// attribute of the module. Returns a borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

// Sets the Python exception for the fault being handled (called from a catch block). Memory
// exhaustion becomes MemoryError; every other fault becomes PanicException. A second fault while
// containing the first aborts the process; a forced unwind goes through.
void contain_current_fault();

// Same containment, for instance release: the fault is reported as unraisable and cleared.
void contain_current_fault_in_release(PyObject* instance);  // reported against its type

// The one conversion of an expected failure into a Python exception: ValueError with the kind's
// display text as its only argument.
void set_python_error(CoreError error);

// Ensures a failed body leaves an exception set.
void require_exception_set();

// Runs an entry's body, then the releases it left pending. The failure value is the body's own:
// null for a new reference, -1 for a slot returning int (the module's exec step). Not noexcept,
// and the forced unwind by which the interpreter ends a thread is let through, the thread marked:
// swallowing it, or meeting noexcept, aborts the process.
template <class Body>
auto call_boundary(Body&& body) -> decltype(body()) {
  using Value = decltype(body());
  constexpr Value kFailure = [] {
    if constexpr (std::is_pointer_v<Value>)
      return Value{};
    else
      return Value{-1};
  }();
  LockDepthScope depth;
  Value result = kFailure;
  try {
    result = body();
    if (result == kFailure) require_exception_set();
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;
    throw;
  } catch (...) {
    contain_current_fault();
  }
  release_pending();
  return result;
}

// Variant for instance release: a fault is reported and the release goes on.
template <class Body>
void release_boundary(PyObject* instance, Body&& body) {
  LockDepthScope depth;
  try {
    body();
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;
    throw;
  } catch (...) {
    contain_current_fault_in_release(instance);
  }
  release_pending();
}

// Runs `work` with the interpreter lock released and returns its value after taking the lock
// back; the lock is retaken also when `work` ends in a fault. `work` must not touch any Python
// object, except through with_lock_retaken with the thread state published in `*publish`.
template <class Work>
auto run_unlocked(Work&& work, PyThreadState** publish = nullptr) -> decltype(work()) {
  const long depth = std::exchange(tls_lock_depth, 0);
  PyThreadState* state = PyEval_SaveThread();
  if (publish) *publish = state;
  auto retake = [&] { retake_lock(publish ? *publish : state, depth); };
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      retake();
    } else {
      decltype(work()) value = work();
      retake();
      return value;
    }
  } catch (abi::__forced_unwind&) {
    // From retaking the lock, or from inside the work (pthread_cancel at a read): the lock is not
    // held either way, so nothing is undone and nothing may release a Python object from here on.
    tls_lock_depth = kThreadEnding;
    throw;
  } catch (...) {
    retake();
    throw;
  }
}

// From inside run_unlocked's work: runs `step` with the lock taken back through the thread state
// run_unlocked published, then gives it away again (also when `step` ends in a fault).
template <class Step>
auto with_lock_retaken(PyThreadState*& state, Step&& step) -> decltype(step()) {
  assert(state != nullptr && "with_lock_retaken outside run_unlocked");
  retake_lock(state, 1);
  auto release_again = [&] {
    tls_lock_depth = 0;
    state = PyEval_SaveThread();
  };
  try {
    decltype(step()) value = step();
    release_again();
    return value;
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;
    throw;
  } catch (...) {
    release_again();
    throw;
  }
}

}  // namespace core_fips
