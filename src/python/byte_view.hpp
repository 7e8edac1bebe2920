// ByteView: one buffer-protocol export of unsigned bytes, read in place. It owns a heap-allocated
// Py_buffer and releases it exactly once, with the interpreter lock held.
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
  // Releases the buffer this view holds before taking over `other`'s.
  ByteView& operator=(ByteView&& other) noexcept {
    if (this != &other) {
      release();
      view_ = std::move(other.view_);
    }
    return *this;
  }
  ~ByteView() { release(); }

  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_->buf),
            static_cast<std::size_t>(view_->len / view_->itemsize)};
  }
  const Py_buffer& view() const { return *view_; }

 private:
  explicit ByteView(std::unique_ptr<Py_buffer> view) : view_(std::move(view)) {}
  void release() noexcept;
  std::unique_ptr<Py_buffer> view_;
};

// Succeeds for a C-contiguous view; otherwise sets ValueError "buffer must be C-contiguous".
bool require_c_contiguous(const ByteView& view);

}  // namespace core_fips
