#include "records/name_cache.hpp"
#include "base/sizes.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace molbrook::py {
namespace {

constexpr size_t kSlots = 2 * NameCache::kCapacity;  // a power of two, at most half full

// Multiply-xorshift over 8-byte words; names are short.
uint32_t hash_name(std::string_view name) noexcept {
  uint64_t hash = 0x9e3779b97f4a7c15ull ^ name.size();
  size_t at = 0;
  for (; name.size() - at >= 8; at += 8) {
    uint64_t word;
    std::memcpy(&word, name.data() + at, 8);
    hash = (hash ^ word) * 0xff51afd7ed558ccdull;
    hash ^= hash >> 32;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, name.data() + at, name.size() - at);
  hash = (hash ^ tail) * 0xc4ceb9fe1a85ec53ull;
  return static_cast<uint32_t>(hash ^ (hash >> 29));
}

}  // namespace

PyObject* NameCache::make(std::string_view name) const noexcept {
  const auto size = to_py_size(name.size());
  if (kind_ == Kind::Bytes) return PyBytes_FromStringAndSize(name.data(), size);
  return PyUnicode_DecodeUTF8(name.data(), size, nullptr);
}

bool NameCache::holds(uint32_t index, std::string_view name) const noexcept {
  if (index >= entries_.size()) return false;
  const Entry& entry = entries_[index];
  return entry.size == name.size() && std::memcmp(bytes_.data() + entry.offset, name.data(), name.size()) == 0;
}

uint32_t NameCache::find(std::string_view name, uint32_t hash) const noexcept {
  if (slots_.empty()) return kNone;
  for (size_t slot = hash & (kSlots - 1);; slot = (slot + 1) & (kSlots - 1)) {
    if (slots_[slot] == 0) return kNone;
    uint32_t index = slots_[slot] - 1u;
    if (entries_[index].hash == hash && holds(index, name)) return index;
  }
}

uint32_t NameCache::add(std::string_view name, uint32_t hash) {
  Ref object = Ref::steal(make(name));
  if (!object) return kNone;
  if (full()) clear();
  if (slots_.empty()) slots_.assign(kSlots, 0);
  bytes_.append(name);
  const auto index = static_cast<uint32_t>(entries_.size());
  entries_.push_back({object.get(), static_cast<uint32_t>(bytes_.size() - name.size()),
                      static_cast<uint32_t>(name.size()), hash, kNone});
  object.release();  // the entry owns it now
  size_t slot = hash & (kSlots - 1);
  while (slots_[slot] != 0) slot = (slot + 1) & (kSlots - 1);
  slots_[slot] = static_cast<uint16_t>(index + 1);
  return index;
}

void NameCache::clear() noexcept {
  for (const Entry& entry : entries_) Py_DECREF(entry.object);
  entries_.clear();
  bytes_.clear();
  std::fill(slots_.begin(), slots_.end(), 0);
  first_ = kNone;
}

PyObject* NameCache::Use::get(std::string_view name) {
  if (bypass_ || !cache_.cacheable(name)) return cache_.make(name);
  const uint32_t hash = hash_name(name);
  uint32_t index = cache_.find(name, hash);
  if (index == kNone && (index = cache_.add(name, hash)) == kNone) return nullptr;
  return Py_NewRef(cache_.entries_[index].object);
}

PyObject* NameCache::Use::get_next(std::string_view name) {
  if (bypass_ || !cache_.cacheable(name)) return cache_.make(name);
  uint32_t index = previous_ == kNone ? cache_.first_ : cache_.entries_[previous_].next;
  if (!cache_.holds(index, name)) {
    const uint32_t hash = hash_name(name);
    index = cache_.find(name, hash);
    if (index == kNone) {
      if (cache_.full()) previous_ = kNone;  // adding clears the cache
      if ((index = cache_.add(name, hash)) == kNone) return nullptr;
    }
    (previous_ == kNone ? cache_.first_ : cache_.entries_[previous_].next) = index;
  }
  previous_ = index;
  return Py_NewRef(cache_.entries_[index].object);
}

namespace {

struct ThreadNameCaches {
  NameCache str{Kind::Str};
  NameCache bytes{Kind::Bytes};
};

// The caches belong to a capsule in the thread state's dict. The
// interpreter clears that dict, with the lock held, when the thread state
// goes away (at thread exit, or at finalization for the main thread), so
// the names are released safely; a C++ thread_local destructor would run
// at thread exit without the lock, possibly after finalization. The
// thread_local pointers only find the caches fast; they are reset when the
// capsule dies on its own thread, and checked against the thread state in
// case a thread switches between several.
constexpr const char* kCapsuleName = "molbrook.native.name_caches";
thread_local ThreadNameCaches* t_caches = nullptr;
thread_local PyThreadState* t_owner = nullptr;

void destroy_caches(PyObject* capsule) noexcept {
  auto* caches = static_cast<ThreadNameCaches*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (caches == t_caches) {
    t_caches = nullptr;
    t_owner = nullptr;
  }
  delete caches;
}

ThreadNameCaches* find_or_create_caches() {
  PyObject* dict = PyThreadState_GetDict();
  if (dict == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the current thread has no thread state dict");
    return nullptr;
  }
  if (PyObject* found = PyDict_GetItemString(dict, kCapsuleName)) {
    return static_cast<ThreadNameCaches*>(PyCapsule_GetPointer(found, kCapsuleName));
  }
  auto caches = std::make_unique<ThreadNameCaches>();
  Ref capsule = Ref::steal(PyCapsule_New(caches.get(), kCapsuleName, destroy_caches));
  if (!capsule) return nullptr;
  ThreadNameCaches* owned = caches.release();
  if (PyDict_SetItemString(dict, kCapsuleName, capsule.get()) < 0) return nullptr;
  return owned;
}

}  // namespace

NameCache* thread_name_cache(Kind kind) noexcept {
  PyThreadState* state = PyThreadState_Get();
  if (t_owner != state || t_caches == nullptr) {
    ThreadNameCaches* caches;
    try {
      caches = find_or_create_caches();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    }
    if (caches == nullptr) return nullptr;
    t_caches = caches;
    t_owner = state;
  }
  return kind == Kind::Bytes ? &t_caches->bytes : &t_caches->str;
}

}  // namespace molbrook::py
