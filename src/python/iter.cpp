#include "iter.hpp"

#include "placeholder.hpp"

namespace molbrook::py {

PyTypeObject* SDRecordIteratorType = nullptr;
PyTypeObject* SDNameIteratorType = nullptr;

bool init_record_iterator_types() noexcept {
  if (SDRecordIteratorType == nullptr) {
    SDRecordIteratorType = placeholder_class("molbrook.native._SDRecordIterator",
                                             "Lazily iterate over one block's SD data records.");
    if (SDRecordIteratorType == nullptr) return false;
  }
  if (SDNameIteratorType == nullptr) {
    SDNameIteratorType = placeholder_class("molbrook.native._SDNameIterator",
                                           "Lazily iterate over one block's record names.");
  }
  return SDNameIteratorType != nullptr;
}

}  // namespace molbrook::py
