// BorrowCounter: per-instance access control without waiting. 0 = free, n > 0 = n shared readers,
// -1 = one exclusive user. A conflicting call fails at once with RuntimeError.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors/surface_texts.hpp"

namespace core_fips {

class BorrowCounter {
 public:
  bool take_exclusive() {
    std::int64_t expected = 0;
    return value_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() { value_.store(0, std::memory_order_release); }

  bool take_shared() {
    std::int64_t current = value_.load(std::memory_order_relaxed);
    for (;;) {
      if (current == -1) return false;
      if (value_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return true;
      }
    }
  }
  void release_shared() { value_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> value_{0};
};

// Holds one kind of access for the rest of a call; on conflict sets RuntimeError(message).
template <bool (BorrowCounter::*Take)(), void (BorrowCounter::*Release)(), const char* Message>
class BorrowGuard {
 public:
  explicit BorrowGuard(BorrowCounter& counter) : counter_(counter) {
    held_ = (counter_.*Take)();
    if (!held_) PyErr_SetString(PyExc_RuntimeError, Message);
  }
  ~BorrowGuard() {
    if (held_) (counter_.*Release)();
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  explicit operator bool() const { return held_; }

 private:
  BorrowCounter& counter_;
  bool held_;
};

using ExclusiveAccess = BorrowGuard<&BorrowCounter::take_exclusive,
                                    &BorrowCounter::release_exclusive, surface::kAlreadyBorrowed>;
using SharedAccess = BorrowGuard<&BorrowCounter::take_shared, &BorrowCounter::release_shared,
                                 surface::kAlreadyMutablyBorrowed>;

}  // namespace core_fips
