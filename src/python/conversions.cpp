#include "python/conversions.hpp"

#include "errors/surface_texts.hpp"
#include "python/binding.hpp"
#include "python/compat.hpp"
#include "python/once.hpp"
#include "python/pyref.hpp"

namespace core_fips {

namespace {

// One interned name for every call: the interpreter's method cache keys names by address, and a
// fresh string per call would leave one dead entry per cache slot behind. Made under a OnceGuard,
// whose waiters detach from the interpreter, rather than a function-local static, whose waiters
// would block while attached.
OnceGuard add_note_once;
PyObject* add_note_name = nullptr;

PyObject* add_note_method_name() {
  const bool made = add_note_once.run([] {
    add_note_name = intern_name("add_note");
    return add_note_name != nullptr;
  });
  return made ? add_note_name : nullptr;
}

bool text_at(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    set_type_mismatch(object, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (!utf8) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

void add_parameter_note(const char* parameter) {
  PyObject* exc = py::take_exception();
  PyObject* const method = add_note_method_name();
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (!note || !method || !PyRef::steal(py::call_method_one_arg(exc, method, note.get()))) {
    PyErr_Clear();  // a failure to attach the note is discarded
  }
  py::restore_exception(exc);
}

void set_type_mismatch(PyObject* object, const char* target) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, surface::kNoneNotAnInstance, target);
    return;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, surface::kUnnamedNotAnInstance, target);
    return;
  }
  PyErr_Format(PyExc_TypeError, surface::kNotAnInstance, qualname.get(), target);
}

bool convert_argument(PyObject* object, std::string_view& out) { return text_at(object, out); }

bool convert_argument(PyObject* object, std::optional<std::string_view>& out) {
  std::string_view text;
  if (!text_at(object, text)) return false;
  out = text;
  return true;
}

bool convert_argument(PyObject* object, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(object)) {
    set_type_mismatch(object, "bytes");
    return false;
  }
  out = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(py::bytes_data(object)),
                                      static_cast<std::size_t>(py::bytes_size(object)));
  return true;
}

bool convert_argument(PyObject* object, std::optional<ByteView>& out) {
  std::optional<ByteView> view = ByteView::take(object);
  if (!view) return false;
  out.emplace(std::move(*view));
  return true;
}

}  // namespace core_fips
