// The record iterators resume the scan of the SD data section where their
// previous step ended. They watch the block's record change counter
// instead of its bytes: a record edit between two steps ends the
// iteration with RuntimeError, while changes of the title or MDL leave
// the section, and so the offset, as it was.
#include "iter.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "borrow.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "names.hpp"

namespace molbrook::py {

PyTypeObject* SDRecordIteratorType = nullptr;
PyTypeObject* SDNameIteratorType = nullptr;

namespace {

struct PyRecordIterator {
  PyObject_HEAD
  BorrowState borrow;
  PyObject* block;   // strong reference to the SDBlock
  uint64_t version;  // the block's record change counter at creation
  uint64_t offset;   // where the next scan starts in the SD data section
  bool done;
};

PyRecordIterator* as_iterator(PyObject* object) noexcept { return reinterpret_cast<PyRecordIterator*>(object); }

// The next record's name, or (name, value) tuple. Ends for good at the end
// of the records or at the first error.
template <bool WithValues>
PyObject* iterator_next(PyObject* object) {
  PyRecordIterator* self = as_iterator(object);
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow || self->done) return nullptr;
  PySDBlock* block = as_sdblock(self->block);
  SharedBorrow block_borrow(block->borrow);
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
      raise_malformed_record();
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

// The block may be an instance of an SDBlock subclass whose attributes
// lead back to the iterator.
int iterator_traverse(PyObject* object, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(as_iterator(object)->block);
  return 0;
}

int iterator_clear(PyObject* object) noexcept {
  PyRecordIterator* self = as_iterator(object);
  self->done = true;
  Py_CLEAR(self->block);
  return 0;
}

void iterator_dealloc(PyObject* object) noexcept {
  PyObject_GC_UnTrack(object);
  PyTypeObject* type = Py_TYPE(object);
  Py_XDECREF(as_iterator(object)->block);
  type->tp_free(object);
  Py_DECREF(type);
}

PyTypeObject* make_iterator_type(const char* name, const char* doc, iternextfunc next) noexcept {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(next)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      .name = name,
      .basicsize = sizeof(PyRecordIterator),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
               Py_TPFLAGS_DISALLOW_INSTANTIATION,
      .slots = slots,
  };
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

bool init_record_iterator_types() noexcept {
  if (SDRecordIteratorType == nullptr) {
    SDRecordIteratorType = make_iterator_type("molbrook.native._SDRecordIterator",
                                              "Lazily iterate over one block's SD data records.",
                                              entry<iterator_next<true>>);
    if (SDRecordIteratorType == nullptr) return false;
  }
  if (SDNameIteratorType == nullptr) {
    SDNameIteratorType = make_iterator_type("molbrook.native._SDNameIterator",
                                            "Lazily iterate over one block's record names.",
                                            entry<iterator_next<false>>);
  }
  return SDNameIteratorType != nullptr;
}

PyObject* new_record_iterator(PyTypeObject* type, PyObject* block) noexcept {
  PySDBlock* source = as_sdblock(block);
  uint64_t version;
  {
    SharedBorrow borrow(source->borrow);
    if (!borrow) return nullptr;
    version = source->record_version;
  }
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  PyRecordIterator* self = as_iterator(object);
  new (&self->borrow) BorrowState();
  self->block = Py_NewRef(block);
  self->version = version;
  self->offset = 0;
  self->done = false;
  return object;
}

}  // namespace molbrook::py
