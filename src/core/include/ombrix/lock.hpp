// The `with lock:` statement as a scope guard.
#pragma once

#include "ombrix/ref.hpp"

namespace ombrix {
class ModuleState;
}

namespace ombrix {

// Enters `lock` like a `with` statement does and leaves it on every path.
//
//     WithLock guard(state, mutex);
//     if (!guard) return nullptr;
//     Ref result = ...;                    // the block's body
//     return guard.leave(result.release());
//
// `leave` hands the block's outcome to the context manager's exit, exactly as
// the interpreter does: the pending exception on failure (and the result is
// None when the exit suppresses it), None arguments on success. If the guard
// goes out of scope without `leave` (an early return), it still exits and
// keeps any pending exception intact. A plain `threading.Lock` takes a short
// path straight to its acquire and release.
class WithLock {
 public:
  // `state` is the calling module's (for the names and the lock type).
  WithLock(const ModuleState& state, PyObject* lock);
  ~WithLock();
  WithLock(const WithLock&) = delete;
  WithLock& operator=(const WithLock&) = delete;

  explicit operator bool() const { return entered_; }

  // Steals `result` (NULL when the body failed, with the exception set).
  // Returns the value the block yields, or NULL with an exception set.
  PyObject* leave(PyObject* result);

 private:
  bool exit_ok();               // exit without an exception in flight
  // exit with the exception in flight, which stays set unless *suppressed
  void exit_with_exception(bool* suppressed);

  const ModuleState& state_;
  Ref lock_;
  Ref exit_;  // bound __exit__ of a general context manager
  bool plain_ = false;
  bool entered_ = false;
};

}  // namespace ombrix
