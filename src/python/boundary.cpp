#include "python/boundary.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "errors/internal_fault.hpp"
#include "errors/surface_texts.hpp"
#include "python/compat.hpp"
#include "python/once.hpp"

namespace core_fips {

constinit thread_local long tls_lock_depth __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local std::size_t tls_pending_releases __attribute__((tls_model("initial-exec"))) =
    0;

namespace {

// A release left to the boundary: a reference, or a buffer export (then `view` is set).
struct PendingRelease {
  PyObject* object;
  Py_buffer* view;
};
// The thread's pending releases: the first in place (most calls that defer anything defer one
// buffer export), the rest in a heap array made on demand, grown by doubling and freed once
// drained. Static TLS holds only that entry and the array's address and capacity: an extension
// loaded after start-up takes its whole TLS segment from glibc's small static surplus, shared with
// every library loaded before it. Trivially destructible, as every thread_local of the extension
// must be: one with a destructor needs __cxa_thread_atexit_impl, glibc 2.18, above the wheels'
// manylinux floor of 2.17.
constexpr std::size_t kFirstHeapCapacity = 8;
// Initial-exec like the counters: no __tls_get_addr on the way, and no more static TLS than the
// module's segment takes anyway.
constinit thread_local PendingRelease first_pending __attribute__((tls_model("initial-exec"))) = {};
constinit thread_local PendingRelease* more_pending __attribute__((tls_model("initial-exec"))) =
    nullptr;
constinit thread_local std::size_t more_capacity __attribute__((tls_model("initial-exec"))) = 0;

bool push_pending(PendingRelease release) noexcept {
  const std::size_t n = tls_pending_releases;
  if (n == 0) {
    first_pending = release;
  } else {
    const std::size_t at = n - 1;
    if (at == more_capacity) {
      const std::size_t capacity = at == 0 ? kFirstHeapCapacity : 2 * at;
      auto* grown = new (std::nothrow) PendingRelease[capacity];
      if (!grown) return false;
      std::copy_n(more_pending, at, grown);
      delete[] std::exchange(more_pending, grown);
      more_capacity = capacity;
    }
    more_pending[at] = release;
  }
  tls_pending_releases = n + 1;
  return true;
}

PendingRelease pop_pending() {
  const std::size_t n = --tls_pending_releases;
  return n == 0 ? first_pending : more_pending[n - 1];
}

OnceGuard panic_once;
PyObject* panic_type = nullptr;  // created once, kept for the life of the process

[[noreturn]] void abort_double_fault() noexcept {
  std::fputs(surface::kUncaughtPanic, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

// Sets the exception for the fault being handled.
void raise_for_current_fault() {
  std::string text;
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  if (text.empty()) text = surface::kPanicWithoutMessage;
  PyObject* type = panic_exception_type();
  if (!type) return;  // its creation failure is the exception
  PyErr_SetString(type, text.c_str());
}

}  // namespace

PyObject* panic_exception_type() {
  const bool made = panic_once.run([] {
    panic_type = PyErr_NewExceptionWithDoc(
        surface::kPanicExceptionName, surface::kPanicExceptionDoc, PyExc_BaseException, nullptr);
    return panic_type != nullptr;
  });
  return made ? panic_type : nullptr;
}

void defer_release(PyObject* object) noexcept { push_pending({object, nullptr}); }

void defer_release(std::unique_ptr<Py_buffer> view) noexcept {
  if (push_pending({nullptr, view.get()})) view.release();
}

void release_pending_now() {
  if (tls_lock_depth < 0) return;
  PyObject* exception = py::take_exception();  // hooks run below must not see or clear it
  try {
    // Taken off the list before it is released: a hook may enter the module again, and that
    // boundary releases the rest.
    while (tls_pending_releases != 0) {
      const PendingRelease next = pop_pending();
      if (next.view) {
        PyBuffer_Release(next.view);
        delete next.view;
      } else {
        Py_DECREF(next.object);
      }
    }
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;  // the rest, and the exception, are left to the process
    throw;
  }
  if (more_pending) {
    delete[] std::exchange(more_pending, nullptr);
    more_capacity = 0;
  }
  py::restore_exception(exception);
}

void contain_current_fault() {
  try {
    raise_for_current_fault();
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;
    throw;
  } catch (...) {
    abort_double_fault();
  }
}

void contain_current_fault_in_release(PyObject* instance) {
  try {
    raise_for_current_fault();
    // The instance itself is mid-release (reference count zero): the unraisable hook would
    // take and drop a reference to it and release it twice. Name its type instead.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
  } catch (abi::__forced_unwind&) {
    tls_lock_depth = kThreadEnding;
    throw;
  } catch (...) {
    abort_double_fault();
  }
}

void set_python_error(CoreError error) {
  const std::string text = error.message();
  PyObject* message =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!message) return;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
}

void require_exception_set() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, surface::kNoExceptionSet);
  }
}

}  // namespace core_fips
