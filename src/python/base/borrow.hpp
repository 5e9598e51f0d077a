// Shared and exclusive borrows of one Python object's native state.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// Readers take a shared borrow, editors an exclusive one; a conflicting
// request fails with RuntimeError instead of waiting. Conflicts come from
// Python code that re-enters an object while it is in use (an iterable of
// records reaching back into its block) or from a second thread using an
// iterator or writer whose call has released the interpreter lock. The
// state itself is only touched with the interpreter lock held. `owner`
// names the object in the error, as in BorrowState borrow{"SDBlock"}.
class BorrowState {
 public:
  explicit BorrowState(const char* owner) noexcept : owner_(owner) {}

  bool acquire_shared() noexcept {
    if (state_ < 0) {
      PyErr_Format(PyExc_RuntimeError, "Already mutably borrowed: the %s is being changed by another call", owner_);
      return false;
    }
    ++state_;
    return true;
  }

  bool acquire_exclusive() noexcept {
    if (state_ != 0) {
      PyErr_Format(PyExc_RuntimeError,
                   "Already borrowed: the %s is in use by another call (re-entered, or on another thread)", owner_);
      return false;
    }
    state_ = -1;
    return true;
  }

  void release_shared() noexcept { --state_; }
  void release_exclusive() noexcept { state_ = 0; }

 private:
  const char* owner_;
  long state_ = 0;  // number of shared borrows, or -1 while held exclusively
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

}  // namespace molbrook::py
