#include "python/python_error.hpp"

#include <string>

namespace core_fips {

void set_python_error(CoreError error) {
  const std::string text = error.message();
  PyObject* message =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (!message) return;
  PyErr_SetObject(PyExc_ValueError, message);
  Py_DECREF(message);
}

}  // namespace core_fips
