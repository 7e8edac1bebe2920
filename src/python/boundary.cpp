#include "python/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "errors/internal_fault.hpp"
#include "errors/surface_texts.hpp"
#include "python/once.hpp"

namespace core_fips {

constinit thread_local long tls_lock_depth __attribute__((tls_model("initial-exec"))) = 0;

namespace {

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

void contain_current_fault() noexcept {
  try {
    raise_for_current_fault();
  } catch (...) {
    abort_double_fault();
  }
}

void contain_current_fault_in_release(PyObject* instance) noexcept {
  try {
    raise_for_current_fault();
    // The instance itself is mid-release (reference count zero): the unraisable hook would
    // take and drop a reference to it and release it twice. Name its type instead.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
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
