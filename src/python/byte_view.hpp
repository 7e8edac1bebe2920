// ByteView: one buffer-protocol export of unsigned bytes, read in place. It owns a heap-allocated
// Py_buffer and releases it exactly once, with the interpreter lock held: at once for bytes and
// bytearray and for a view with no owner (view.obj NULL: nothing to release), otherwise through
// the boundary's pending releases (defer_release), since another exporter's release hook may run
// Python code.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace core_fips {

class ByteView {
 public:
  // Takes `object`'s buffer; on refusal returns nullopt with the exception set.
  static std::optional<ByteView> take(PyObject* object);

  ByteView(ByteView&&) noexcept = default;
  // Hands the buffer this view holds to the pending releases before taking over `other`'s.
  ByteView& operator=(ByteView&& other) noexcept {
    if (this != &other) {
      release();
      view_ = std::move(other.view_);
    }
    return *this;
  }
  ~ByteView() { release(); }

  const Py_buffer& view() const { return *view_; }

 private:
  explicit ByteView(std::unique_ptr<Py_buffer> view) : view_(std::move(view)) {}
  void release() noexcept;
  std::unique_ptr<Py_buffer> view_;
};

// The bytes of a view known to be C-contiguous: the only way to read a view's content, so no work
// can read a strided view as if it were flat. Native: readable with the lock released, while the
// view stays open.
class ContiguousBytes {
 public:
  // The view's bytes; for a view that is not C-contiguous, nullopt with ValueError "buffer must be
  // C-contiguous" set.
  static std::optional<ContiguousBytes> of(const ByteView& view) {
    const Py_buffer& b = view.view();
    if (!PyBuffer_IsContiguous(&b, 'C')) {
      set_not_contiguous();
      return std::nullopt;
    }
    return ContiguousBytes(
        {static_cast<const std::uint8_t*>(b.buf), static_cast<std::size_t>(b.len / b.itemsize)});
  }

  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  explicit ContiguousBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  static void set_not_contiguous();
  std::span<const std::uint8_t> bytes_;
};

}  // namespace core_fips
