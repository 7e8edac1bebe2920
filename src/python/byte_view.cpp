#include "python/byte_view.hpp"

#include <string_view>

#include "errors/surface_texts.hpp"
#include "python/boundary.hpp"

namespace core_fips {

namespace {

// Formats whose items are unsigned bytes: none (taken as "B"), "B", "c", or one of them after a
// native, standard or big-endian byte-order mark.
bool is_unsigned_byte_format(const char* format) {
  if (format == nullptr) return true;
  std::string_view f(format);
  auto is_byte = [](char c) { return c == 'B' || c == 'c'; };
  if (f.size() == 1) return is_byte(f[0]);
  if (f.size() == 2) return (f[0] == '@' || f[0] == '=' || f[0] == '>') && is_byte(f[1]);
  return false;
}

}  // namespace

std::optional<ByteView> ByteView::take(PyObject* object) {
  auto buffer = std::make_unique<Py_buffer>();
  if (PyObject_GetBuffer(object, buffer.get(), PyBUF_FULL_RO) != 0) return std::nullopt;
  ByteView view(std::move(buffer));  // released by its destructor from here on
  const Py_buffer& b = *view.view_;
  if (b.shape == nullptr) {
    PyErr_SetString(PyExc_BufferError, surface::kShapeIsNull);
    return std::nullopt;
  }
  if (b.strides == nullptr) {
    PyErr_SetString(PyExc_BufferError, surface::kStridesIsNull);
    return std::nullopt;
  }
  if (b.itemsize != 1 || !is_unsigned_byte_format(b.format)) {
    PyErr_SetString(PyExc_BufferError, surface::kNotU8);
    return std::nullopt;
  }
  return view;
}

void ByteView::release() noexcept {
  // Moved from or released; or the thread is ending, and the export is left to the process.
  if (!view_ || !may_release_python_objects()) return;
  // A view without an owner (PyBuffer_FillInfo(view, NULL, ...), or a Cython exporter that never
  // sets it) has nothing to release; exact bytes and bytearray objects release in C alone (their
  // deallocation too). Any other exporter may run Python code, so its release is left to the
  // boundary.
  PyObject* exporter = view_->obj;
  if (!exporter || PyBytes_CheckExact(exporter) || PyByteArray_CheckExact(exporter)) {
    PyBuffer_Release(view_.get());
    view_.reset();
  } else {
    defer_release(std::move(view_));
  }
}

void ContiguousBytes::set_not_contiguous() {
  PyErr_SetString(PyExc_ValueError, "buffer must be C-contiguous");
}

}  // namespace core_fips
