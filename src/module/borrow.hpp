// BorrowCounter: per-instance access control without waiting. 0 = free, n > 0 = n shared readers,
// -1 = one exclusive user. A conflicting call fails at once with RuntimeError.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

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

// Holds exclusive access for the rest of a call; on conflict sets RuntimeError "Already borrowed".
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(BorrowCounter& counter) : counter_(counter) {
    held_ = counter_.take_exclusive();
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveAccess() {
    if (held_) counter_.release_exclusive();
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  explicit operator bool() const { return held_; }

 private:
  BorrowCounter& counter_;
  bool held_;
};

// Holds shared access; on conflict sets RuntimeError "Already mutably borrowed".
class SharedAccess {
 public:
  explicit SharedAccess(BorrowCounter& counter) : counter_(counter) {
    held_ = counter_.take_shared();
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedAccess() {
    if (held_) counter_.release_shared();
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  explicit operator bool() const { return held_; }

 private:
  BorrowCounter& counter_;
  bool held_;
};

}  // namespace core_fips
