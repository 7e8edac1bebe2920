// PyRef: the single owner of one strong Python reference.
#pragma once

#include <Python.h>

#include <utility>

#include "python/boundary.hpp"

namespace core_fips {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  // The drop may run __del__: left to the boundary (defer_release), never made here.
  ~PyRef() {
    if (o_ && may_release_python_objects()) defer_release(o_);
  }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(o_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(o_, other.o_); }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace core_fips
