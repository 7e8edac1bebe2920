// Binding: which object a call gives each parameter of a declaration, by position or by keyword,
// with the interpreter's own binding errors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "python/once.hpp"
#include "python/parameter_spec.hpp"

namespace core_fips {

class Binding {
 public:
  // `interned` holds the table's names as interned strings, or is null when they could not be made.
  Binding(const ParameterSpec& spec, PyObject* const* interned)
      : spec_(spec), interned_(interned) {}
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  // Binds a vectorcall-style argument list.
  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
  // Binds a constructor's positional tuple and keyword dict (either may be null).
  bool bind(PyObject* args, PyObject* kwargs);

  // The object bound to parameter i (borrowed; the caller keeps it alive), or null when omitted.
  PyObject* bound(std::size_t i) const { return bound_[i]; }

 private:
  bool bind_positional(Py_ssize_t count);
  bool bind_keyword(PyObject* name, PyObject* value);
  bool bind_at(std::size_t i, PyObject* value);
  bool check_required();

  const ParameterSpec& spec_;
  PyObject* const* interned_;
  std::array<PyObject*, kMaxParameters> bound_{};
};

// PyUnicode_InternFromString, one call at a time (see binding.cpp).
PyObject* intern_name(const char* name);

// The interned names of a table, made once per process: a caller's keyword names are interned
// strings too, so binding compares addresses first. Null while they cannot be made.
template <const ParameterSpec& Spec>
PyObject* const* interned_names() {
  static constinit OnceGuard once;
  static constinit std::array<PyObject*, kMaxParameters> names{};
  const bool made = once.run([] {
    for (std::size_t i = 0; i < Spec.count; ++i) {
      names[i] = intern_name(Spec.parameters[i].name);
      if (!names[i]) {
        PyErr_Clear();  // binding then compares the text alone
        return false;
      }
    }
    return true;
  });
  return made ? names.data() : nullptr;
}

}  // namespace core_fips
