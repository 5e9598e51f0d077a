// Shared and exclusive borrows of one Python object's native state.
#pragma once

#include <atomic>

#include "base/compat.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// Readers take a shared borrow, editors an exclusive one; a conflicting
// request fails with RuntimeError instead of waiting. Conflicts come from
// Python code that re-enters an object while it is in use (an iterable of
// records reaching back into its block) or from a second thread using an
// iterator or writer whose call has released the interpreter lock (or,
// without one, its critical section). Without the interpreter lock two
// threads may ask at once, so the state changes atomically there; with it,
// a plain count does. `owner` names the object in the error, as in
// BorrowState borrow{"SDBlock"}.
class BorrowState {
 public:
  explicit BorrowState(const char* owner) noexcept : owner_(owner) {}

  bool acquire_shared() noexcept {
    long seen = load();
    do {
      if (seen < 0) {
        PyErr_Format(PyExc_RuntimeError, "Already mutably borrowed: the %s is being changed by another call", owner_);
        return false;
      }
    } while (!replace(seen, seen + 1));
    return true;
  }

  bool acquire_exclusive() noexcept {
    long seen = 0;
    if (!replace(seen, -1)) {
      PyErr_Format(PyExc_RuntimeError,
                   "Already borrowed: the %s is in use by another call (re-entered, or on another thread)", owner_);
      return false;
    }
    return true;
  }

#ifdef Py_GIL_DISABLED
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  long load() const noexcept { return state_.load(std::memory_order_relaxed); }
  // Sets the state to `desired` if it is still `seen`; else false with
  // `seen` updated.
  bool replace(long& seen, long desired) noexcept {
    return state_.compare_exchange_strong(seen, desired, std::memory_order_acquire, std::memory_order_relaxed);
  }

  const char* owner_;
  std::atomic<long> state_ = 0;  // number of shared borrows, or -1 while held exclusively
#else
  void release_shared() noexcept { --state_; }
  void release_exclusive() noexcept { state_ = 0; }

 private:
  long load() const noexcept { return state_; }
  bool replace(long& seen, long desired) noexcept {
    if (state_ != seen) {
      seen = state_;
      return false;
    }
    state_ = desired;
    return true;
  }

  const char* owner_;
  long state_ = 0;  // number of shared borrows, or -1 while held exclusively
#endif
};

// Holds a borrow for a scope; false when it could not be taken (the
// RuntimeError is set):
//
//   SharedBorrow borrow(self->borrow);
//   if (!borrow) return nullptr;
template <bool Exclusive>
class Borrow {
 public:
  explicit Borrow(BorrowState& state) noexcept
      : state_((Exclusive ? state.acquire_exclusive() : state.acquire_shared()) ? &state : nullptr) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (state_ == nullptr) return;
    if constexpr (Exclusive) {
      state_->release_exclusive();
    } else {
      state_->release_shared();
    }
  }

  explicit operator bool() const noexcept { return state_ != nullptr; }

 private:
  BorrowState* state_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

// A borrow of an object other than the one whose call holds it (a block
// that a writer writes): the object's critical section is held as well,
// so that its own calls, which hold it, do not run meanwhile.
template <bool Exclusive>
class ObjectBorrow {
 public:
  ObjectBorrow(PyObject* object, BorrowState& state) noexcept : section_(object), borrow_(state) {}

  explicit operator bool() const noexcept { return static_cast<bool>(borrow_); }

 private:
  CriticalSection section_;
  Borrow<Exclusive> borrow_;
};

using SharedObjectBorrow = ObjectBorrow<false>;
using ExclusiveObjectBorrow = ObjectBorrow<true>;

}  // namespace molbrook::py
