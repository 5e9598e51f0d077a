// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include <cerrno>

#include "base/compat.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// Releases the lock for its scope and takes it back on every exit, so an
// exception thrown by the work below still returns with the lock held.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Attaches the calling thread to `interpreter` for the scope of a callback
// from code that may or may not hold a lock (an Arrow consumer's): as it
// is, when the thread is attached there already; through the thread's own
// PyGILState for the main interpreter; otherwise through a thread state
// made for the call, with the thread's attached state (another
// interpreter's) set aside until the scope ends. PyGILState alone would
// run a subinterpreter's callback in the main interpreter, or wait on a
// lock the thread already holds.
//
// Before 3.12 one lock serves every interpreter and no thread can tell its
// own thread state from the lock holder's: PyGILState serves the main
// interpreter, as it did, and a subinterpreter's callbacks are taken to
// come from its own code, under the lock (no Arrow consumer but
// write_table loads in a subinterpreter there).
class AttachedTo {
 public:
  explicit AttachedTo(PyInterpreterState* interpreter) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (interpreter == PyInterpreterState_Main()) {
      gil_state_ = PyGILState_Ensure();
      ensured_ = true;
    }
#else
    PyThreadState* current = current_thread_state();
    if (current != nullptr && PyThreadState_GetInterpreter(current) == interpreter) return;
    PyThreadState* own = PyGILState_GetThisThreadState();
    if (current == nullptr && interpreter == PyInterpreterState_Main() &&
        (own == nullptr || PyThreadState_GetInterpreter(own) == interpreter)) {
      gil_state_ = PyGILState_Ensure();
      ensured_ = true;
      return;
    }
    set_aside_ = current != nullptr ? PyEval_SaveThread() : nullptr;
    made_ = PyThreadState_New(interpreter);
    PyEval_RestoreThread(made_);
#endif
  }
  AttachedTo(const AttachedTo&) = delete;
  AttachedTo& operator=(const AttachedTo&) = delete;
  ~AttachedTo() {
    if (ensured_) {
      PyGILState_Release(gil_state_);
    } else if (made_ != nullptr) {
      PyThreadState_Clear(made_);
      PyThreadState_DeleteCurrent();
      if (set_aside_ != nullptr) PyEval_RestoreThread(set_aside_);
    }
  }

 private:
  PyGILState_STATE gil_state_{};
  bool ensured_ = false;
  PyThreadState* made_ = nullptr;
  PyThreadState* set_aside_ = nullptr;
};

// Runs `call`, a system call returning its errno (0 on success), without
// the interpreter lock. The handlers of signals that arrived since they
// last ran run first: a call that blocks (a pipe's read) would otherwise
// hold them up until it returns, which may be never. After an interruption
// by a signal the handlers run and the call is repeated; false when a
// handler raised (Ctrl-C).
template <class Call>
bool call_released(Call&& call) {
  if (PyErr_CheckSignals() < 0) return false;
  for (;;) {
    int error;
    {
      ReleasedGil unlocked;
      error = call();
    }
    if (error != EINTR) return true;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

}  // namespace molbrook::py
