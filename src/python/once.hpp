// OnceGuard: runs a step at most once per process, safely without the GIL. Waiters block on a
// PyMutex, which detaches the thread state while it waits, so a waiter can never deadlock against
// the interpreter (a stop-the-world pause or the GIL itself).
#pragma once

#include <Python.h>

#include <atomic>

namespace core_fips {

class OnceGuard {
 public:
  // Runs `step` unless an earlier run succeeded. `step` returns true on success; a failed step
  // leaves the guard open, so the next caller tries again. Read what the step makes only when run()
  // returned true: after a failure another thread may be retrying, and writing it, meanwhile.
  template <class Step>
  bool run(Step&& step) {
    if (done_.load(std::memory_order_acquire)) return true;
    PyMutex_Lock(&mutex_);
    bool ok = done_.load(std::memory_order_relaxed);
    if (!ok) {
      ok = step();
      if (ok) done_.store(true, std::memory_order_release);
    }
    PyMutex_Unlock(&mutex_);
    return ok;
  }

  bool done() const { return done_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> done_{false};
  PyMutex mutex_{};
};

}  // namespace core_fips
