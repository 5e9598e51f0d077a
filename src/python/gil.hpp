// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include "ref.hpp"

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

}  // namespace molbrook::py
