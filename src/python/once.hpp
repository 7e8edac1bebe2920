// OnceGuard: runs a step at most once per process, safely without the GIL. Waiters never block
// while attached to the interpreter (py::OnceMutex), so a waiter cannot deadlock against it.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "python/compat.hpp"

namespace core_fips {

class OnceGuard {
 public:
  // Runs `step` unless an earlier run succeeded. `step` returns true on success; a failed step
  // leaves the guard open, so the next caller tries again, and so does a step that throws (the
  // lock is released on the way out). Read what the step makes only when run() returned true:
  // after a failure another thread may be retrying, and writing it, meanwhile.
  template <class Step>
  bool run(Step&& step) {
    if (done_.load(std::memory_order_acquire)) return true;
    std::lock_guard<py::OnceMutex> hold(mutex_);
    if (done_.load(std::memory_order_relaxed)) return true;
    if (!step()) return false;
    done_.store(true, std::memory_order_release);
    return true;
  }

  bool done() const { return done_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> done_{false};
  py::OnceMutex mutex_;
};

}  // namespace core_fips
