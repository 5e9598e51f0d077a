// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include <cerrno>

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
