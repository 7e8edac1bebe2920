#include "python/binding.hpp"

#include <cstring>
#include <mutex>
#include <string>

#include "python/compat.hpp"

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

// The free-threaded 3.13 interpreter marks a string as interned after it has published it in its
// table, where another thread interning the same text already compares it: the two race on that
// mark. Names are made once each, so one lock around all of ours costs nothing.
py::OnceMutex interning;

}  // namespace

PyObject* intern_name(const char* name) {
  std::lock_guard<py::OnceMutex> hold(interning);
  return PyUnicode_InternFromString(name);
}

bool Binding::bind_positional(Py_ssize_t count) {
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

bool Binding::bind_at(std::size_t i, PyObject* value) {
  if (bound_[i]) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                 spec_.display_name().c_str(), spec_.parameters[i].name);
    return false;
  }
  bound_[i] = value;
  return true;
}

bool Binding::bind_keyword(PyObject* name, PyObject* value) {
  // Callers' keyword names are interned, as ours are: the same object is the same name.
  for (std::size_t i = 0; interned_ && i < spec_.count; ++i) {
    if (name == interned_[i]) return bind_at(i, value);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();  // unreadable: reported as unexpected below
  for (std::size_t i = 0; utf8 && i < spec_.count; ++i) {
    const char* candidate = spec_.parameters[i].name;
    if (std::strlen(candidate) == static_cast<std::size_t>(size) &&
        std::memcmp(candidate, utf8, static_cast<std::size_t>(size)) == 0) {
      return bind_at(i, value);
    }
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

bool Binding::check_required() {
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

bool Binding::bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Py_ssize_t positional = py::vectorcall_nargs(static_cast<std::size_t>(nargsf));
  if (!bind_positional(positional)) return false;
  for (Py_ssize_t i = 0; i < positional; ++i) bound_[i] = args[i];
  const Py_ssize_t keywords = kwnames ? py::tuple_size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!bind_keyword(py::tuple_item(kwnames, k), args[positional + k])) return false;
  }
  return check_required();
}

bool Binding::bind(PyObject* args, PyObject* kwargs) {
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

}  // namespace core_fips
