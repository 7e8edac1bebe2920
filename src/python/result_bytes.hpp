// ResultBytes: the bytes object a call returns, filled in place by work that runs with the lock
// released, so a large result is never made twice. Owned by the entry, released with the lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "python/pyref.hpp"

namespace core_fips {

class ResultBytes {
 public:
  // From the work, lock released: a new object of `length` octets to fill, allocated with the lock
  // taken back for that moment; nullopt when the interpreter refused (its exception is set).
  std::optional<std::span<std::uint8_t>> reserve(std::size_t length);
  // Lock held: the filled object, handed to the caller.
  PyObject* release() { return object_.release(); }
  // Where run_unlocked publishes the thread state that reserve() takes the lock back with.
  PyThreadState** state_slot() { return &released_; }

 private:
  PyRef object_;
  PyThreadState* released_ = nullptr;
};

}  // namespace core_fips
