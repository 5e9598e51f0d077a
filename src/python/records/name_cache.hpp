// Per-thread interning of record-name objects.
//
// The blocks of one SD file mostly carry the same record names in the same
// order, so every block read on a thread shares one str or bytes object
// per name, and a name is usually found by comparing it with the one that
// followed the previous name last time: no hashing, no allocation.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/base/buffer.hpp"
#include "core/base/kind.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// Names of one kind (str or bytes) of at most kMaxNameSize bytes, up to
// kCapacity of them; a full cache is cleared completely. Used only with
// the interpreter lock held, by the thread that owns it.
class NameCache {
 public:
  static constexpr size_t kMaxNameSize = 64;
  static constexpr size_t kCapacity = 4096;

  explicit NameCache(Kind kind) noexcept : kind_(kind) {}
  NameCache(const NameCache&) = delete;
  NameCache& operator=(const NameCache&) = delete;
  ~NameCache() { clear(); }

  // One reading call's use of the cache. A nested call on the same thread
  // (Python code run by a garbage collection inside the outer call, say)
  // finds the cache in use and makes its names without it.
  class Use {
   public:
    explicit Use(NameCache& cache) noexcept : cache_(cache), bypass_(cache.in_use_) { cache.in_use_ = true; }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use() { cache_.in_use_ = bypass_; }

    // A new reference to the object for `name`; null with an exception
    // set when it cannot be made (a str name that is not UTF-8).
    PyObject* get(std::string_view name);
    // The same, first trying the name that followed the previous one of
    // this call the last time, and remembering the order.
    PyObject* get_next(std::string_view name);

   private:
    NameCache& cache_;
    bool bypass_;
    uint32_t previous_ = kNone;
  };

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Entry {
    PyObject* object;  // strong reference
    uint32_t offset;   // of the name's bytes in bytes_
    uint32_t size;
    uint32_t hash;
    uint32_t next;  // the entry read after this one last time, or kNone
  };

  PyObject* make(std::string_view name) const noexcept;
  bool cacheable(std::string_view name) const noexcept { return name.size() <= kMaxNameSize; }
  bool holds(uint32_t index, std::string_view name) const noexcept;
  uint32_t find(std::string_view name, uint32_t hash) const noexcept;
  // Makes the object and adds its entry, clearing a full cache first;
  // kNone with an exception set when the object cannot be made.
  uint32_t add(std::string_view name, uint32_t hash);
  bool full() const noexcept { return entries_.size() == kCapacity; }
  void clear() noexcept;

  Kind kind_;
  bool in_use_ = false;
  uint32_t first_ = kNone;  // the entry that started the last sequence
  std::vector<Entry> entries_;
  ByteBuffer bytes_;             // the names' bytes, back to back
  std::vector<uint16_t> slots_;  // hash table of entry index + 1; 0 is empty
};

// The calling thread's cache for names of one kind; null with an
// exception set if it cannot be created.
NameCache* thread_name_cache(Kind kind) noexcept;

}  // namespace molbrook::py
