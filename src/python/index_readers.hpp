// The reads under way on an SDIndex, so that closing it waits for them:
// a read releases the interpreter lock around the data file's I/O, and
// closing the file under it would pull the state from beneath it.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "ref.hpp"

namespace molbrook::py {

class IndexReaders {
 public:
  // A read begins and ends on the calling thread (the lock held); false,
  // with MemoryError set, when it cannot begin.
  bool enter() noexcept {
    std::lock_guard<std::mutex> locked(mutex_);
    try {
      threads_.push_back(PyThread_get_thread_ident());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }
  void leave() noexcept {
    std::lock_guard<std::mutex> locked(mutex_);
    threads_.erase(std::find(threads_.begin(), threads_.end(), PyThread_get_thread_ident()));
    if (threads_.empty()) none_.notify_all();
  }

  // Whether the calling thread is inside a read: waiting would never end.
  bool calling_thread_reads() noexcept {
    std::lock_guard<std::mutex> locked(mutex_);
    return std::find(threads_.begin(), threads_.end(), PyThread_get_thread_ident()) != threads_.end();
  }

  // Waits, without the interpreter lock, until no read is under way.
  void wait_for_none() {
    std::unique_lock<std::mutex> locked(mutex_);
    none_.wait(locked, [&] { return threads_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable none_;
  std::vector<unsigned long> threads_;  // one entry per read
};

}  // namespace molbrook::py
