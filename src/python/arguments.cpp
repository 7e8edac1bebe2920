#include "python/arguments.hpp"

#include <cstring>

#include "python/compat.hpp"
#include "python/once.hpp"
#include "python/pyref.hpp"

namespace core_fips {

namespace {

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string join_quoted(const std::array<const char*, kMaxParameters>& names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// One interned name for every call: the interpreter's method cache keys names by address, and a
// fresh string per call would leave one dead entry per cache slot behind. Made under a OnceGuard,
// whose waiters detach from the interpreter, rather than a function-local static, whose waiters
// would block while attached.
OnceGuard add_note_once;
PyObject* add_note_name = nullptr;

PyObject* add_note_method_name() {
  const bool made = add_note_once.run([] {
    add_note_name = PyUnicode_InternFromString("add_note");
    return add_note_name != nullptr;
  });
  return made ? add_note_name : nullptr;
}

void add_note(const char* parameter) {
  PyObject* exc = py::take_exception();
  PyObject* const method = add_note_method_name();
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  if (!note || !method || !PyRef::steal(py::call_method_one_arg(exc, method, note.get()))) {
    PyErr_Clear();  // a failure to attach the note is discarded
  }
  py::restore_exception(exc);
}

}  // namespace

std::string ParameterSpec::display_name() const {
  std::string name;
  if (class_name) {
    name += class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

void set_type_mismatch(PyObject* object, const char* target) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object is not an instance of '%s'", target);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
}

bool Arguments::bind_positional(Py_ssize_t count) {
  const auto m = static_cast<Py_ssize_t>(spec_.count);
  if (count <= m) return true;
  const std::string name = spec_.display_name();
  if (spec_.required == spec_.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 name.c_str(), m, count, was_or_were(count));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zd positional arguments but %zd %s given",
                 name.c_str(), spec_.required, m, count, was_or_were(count));
  }
  return false;
}

bool Arguments::bind_keyword(PyObject* name, PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();  // unreadable: reported as unexpected below
  for (std::size_t i = 0; utf8 && i < spec_.count; ++i) {
    const char* candidate = spec_.parameters[i].name;
    if (std::strlen(candidate) != static_cast<std::size_t>(size) ||
        std::memcmp(candidate, utf8, static_cast<std::size_t>(size)) != 0) {
      continue;
    }
    if (bound_[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   spec_.display_name().c_str(), candidate);
      return false;
    }
    bound_[i] = value;
    return true;
  }
  // A str (or subclass) is quoted as the text it holds, never through its own __str__, so the
  // binding error cannot be replaced by an exception of the key object.
  if (PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 spec_.display_name().c_str(), name);
  } else {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  }
  return false;
}

bool Arguments::check_required() {
  std::array<const char*, kMaxParameters> missing{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < spec_.required; ++i) {
    if (!bound_[i]) missing[n++] = spec_.parameters[i].name;
  }
  if (n == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               spec_.display_name().c_str(), n, n == 1 ? "argument" : "arguments",
               join_quoted(missing, n).c_str());
  return false;
}

bool Arguments::bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t positional = py::vectorcall_nargs(static_cast<std::size_t>(nargsf));
  if (!bind_positional(positional)) return false;
  for (Py_ssize_t i = 0; i < positional; ++i) bound_[i] = args[i];
  const Py_ssize_t keywords = kwnames ? py::tuple_size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!bind_keyword(py::tuple_item(kwnames, k), args[positional + k])) return false;
  }
  return check_required();
}

bool Arguments::bind(PyObject* args, PyObject* kwargs) {
  const Py_ssize_t positional = args ? py::tuple_size(args) : 0;
  if (!bind_positional(positional)) return false;
  for (Py_ssize_t i = 0; i < positional; ++i) bound_[i] = py::tuple_item(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(key, value)) return false;
    }
  }
  return check_required();
}

bool Arguments::convert_one(std::size_t i) {
  PyObject* object = bound_[i];
  switch (spec_.parameters[i].kind) {
    case ParameterKind::OptionalText:
      if (object == nullptr || object == Py_None) return true;  // absent
      [[fallthrough]];
    case ParameterKind::Text: {
      if (!PyUnicode_Check(object)) {
        set_type_mismatch(object, "str");
        return false;
      }
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
      if (!utf8) return false;
      values_[i] = std::string_view(utf8, static_cast<std::size_t>(size));
      return true;
    }
    case ParameterKind::ByteString: {
      if (!PyBytes_Check(object)) {
        set_type_mismatch(object, "bytes");
        return false;
      }
      values_[i] = std::span<const std::uint8_t>(
          reinterpret_cast<const std::uint8_t*>(py::bytes_data(object)),
          static_cast<std::size_t>(py::bytes_size(object)));
      return true;
    }
    case ParameterKind::ByteBuffer: {
      std::optional<ByteView> view = ByteView::take(object);
      if (!view) return false;
      values_[i].emplace<ByteView>(std::move(*view));
      return true;
    }
  }
  return false;
}

bool Arguments::convert() {
  for (std::size_t i = 0; i < spec_.count; ++i) {
    if (!convert_one(i)) {
      add_note(spec_.parameters[i].name);
      return false;  // views taken so far are released with the Arguments, lock held
    }
  }
  return true;
}

std::optional<std::string_view> Arguments::optional_text_at(std::size_t i) const {
  if (const auto* text = std::get_if<std::string_view>(&values_[i])) return *text;
  return std::nullopt;
}

}  // namespace core_fips
