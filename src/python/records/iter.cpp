// The record iterators resume the scan of the SD data section where their
// previous step ended. They watch the block's record change counter
// instead of its bytes: a record edit between two steps ends the
// iteration with RuntimeError, while changes of the title or MDL leave
// the section, and so the offset, as it was.
#include "records/iter.hpp"

#include <cstdint>
#include <utility>

#include "base/borrow.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "records/names.hpp"

namespace molbrook::py {

namespace {

// The state of a record iterator.
struct PyRecordIterator {
  PyRecordIterator(Ref block, uint64_t version) noexcept : block(std::move(block)), version(version) {}

  // The block may be an instance of an SDBlock subclass whose attributes
  // lead back to the iterator.
  int traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(block.get());
    return 0;
  }
  void clear() noexcept {
    done = true;
    Ref dropped = std::move(block);
  }

  BorrowState borrow{"record iterator"};
  Ref block;            // the SDBlock
  uint64_t version;     // the block's record change counter at creation
  uint64_t offset = 0;  // where the next scan starts in the SD data section
  bool done = false;
};

// The next record's name, or (name, value) tuple. Ends for good at the end
// of the records or at the first error.
template <bool WithValues>
PyObject* iterator_next(PyRecordIterator* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow || self->done) return nullptr;
  PySDBlock* block = as_sdblock(self->block.get());
  SharedObjectBorrow block_borrow(self->block.get(), block->borrow);
  if (!block_borrow) return nullptr;
  self->done = true;  // until a record is returned
  if (block->record_version != self->version) {
    PyErr_SetString(PyExc_RuntimeError, "SDBlock records changed during iteration");
    return nullptr;
  }
  NameCache* cache = thread_name_cache(block->kind);
  if (cache == nullptr) return nullptr;
  RecordObjects objects(block, *cache);
  RecordScanner scanner(objects.section(), self->offset);
  ScannedRecord record;
  switch (scanner.next(record)) {
    case ScanStep::End:
      return nullptr;
    case ScanStep::Malformed:
      raise_malformed_record(module_state_of(object_of(self)));
      return nullptr;
    case ScanStep::Record:
      break;
  }
  self->offset = record.end;
  Ref name = Ref::steal(objects.name(record));
  if (!name) return nullptr;
  Ref result;
  if constexpr (WithValues) {
    result = Ref::steal(RecordObjects::pair(std::move(name), Ref::steal(objects.value(record))));
  } else {
    result = std::move(name);
  }
  self->done = !result;
  return result.release();
}

template <bool WithValues>
PyTypeObject* new_iterator_type(PyObject* module, const char* name, const char* doc) noexcept {
  return new_type<PyRecordIterator>(module, name, Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                    PyType_Slot{Py_tp_doc, const_cast<char*>(doc)},
                                    slot<PyObject_SelfIter>(Py_tp_iter),
                                    slot<iterator_next<WithValues>>(Py_tp_iternext));
}

}  // namespace

PyTypeObject* new_record_iterator_type(PyObject* module) noexcept {
  return new_iterator_type<true>(module, "molbrook.native._SDRecordIterator",
                                 "Lazily iterate over one block's SD data records.");
}

PyTypeObject* new_name_iterator_type(PyObject* module) noexcept {
  return new_iterator_type<false>(module, "molbrook.native._SDNameIterator",
                                  "Lazily iterate over one block's record names.");
}

PyObject* new_record_iterator(PyTypeObject* type, PyObject* block) noexcept {
  PySDBlock* source = as_sdblock(block);
  uint64_t version;
  {
    SharedObjectBorrow borrow(block, source->borrow);
    if (!borrow) return nullptr;
    version = source->record_version;
  }
  return new_object<PyRecordIterator>(type, Ref::borrow(block), version);
}

}  // namespace molbrook::py
