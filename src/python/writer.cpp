#include "writer.hpp"

#include <new>
#include <optional>
#include <utility>

#include "args.hpp"
#include "borrow.hpp"
#include "compat.hpp"
#include "entry.hpp"
#include "sdblock.hpp"
#include "sink.hpp"

namespace molbrook::py {

PyTypeObject* SDFWriterType = nullptr;

namespace {

struct PySDFWriter {
  PyObject_HEAD
  BorrowState borrow;
  std::optional<SdfSink> sink;  // empty once closed
};

PySDFWriter* as_writer(PyObject* object) noexcept { return reinterpret_cast<PySDFWriter*>(object); }

PyObject* write_sdf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"dest", "blocks", nullptr};
  PyObject *dest, *blocks;
  if (!parse_fastcall(args, nargs, kwnames, "OO:write_sdf", keywords, &dest, &blocks)) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;
  std::optional<SdfSink> sink = SdfSink::open(dest);
  if (!sink || !write_blocks(*sink, iterator.get(), [](PySDBlock*) { return true; })) return nullptr;
  return PyLong_FromUnsignedLongLong(sink->written());
}

PyObject* sdf_writer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"dest", nullptr};
  PyObject* dest;
  if (!parse_fastcall(args, nargs, kwnames, "O:sdf_writer", keywords, &dest)) return nullptr;
  std::optional<SdfSink> sink = SdfSink::open(dest);
  if (!sink) return nullptr;
  PyObject* object = SDFWriterType->tp_alloc(SDFWriterType, 0);
  if (object == nullptr) return nullptr;
  PySDFWriter* self = as_writer(object);
  new (&self->borrow) BorrowState();
  new (&self->sink) std::optional<SdfSink>(std::move(sink));
  return object;
}

// The writer counts as closed before the flush, so a failed close leaves
// it closed.
bool close_writer(PySDFWriter* self) {
  if (!self->sink) return true;
  SdfSink sink = std::move(*self->sink);
  self->sink.reset();
  return sink.finish();
}

PyObject* writer_write(PyObject* object, PyObject* block) {
  PySDFWriter* self = as_writer(object);
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  if (!is_sdblock(block)) return raise_not_sdblock(block, "argument 'block': ");
  if (!self->sink) {
    PyErr_SetString(PyExc_ValueError, "I/O operation on a closed sdf_writer");
    return nullptr;
  }
  if (!self->sink->write_block(as_sdblock(block))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* writer_close(PyObject* object, PyObject*) {
  PySDFWriter* self = as_writer(object);
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  if (!close_writer(self)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* writer_enter(PyObject* object, PyObject*) noexcept { return Py_NewRef(object); }

PyObject* writer_exit(PyObject* object, PyObject*) { return writer_close(object, nullptr); }

// A writer dropped without close() still writes its blocks; an error then
// has no caller to go to and reaches the unraisable hook.
void writer_finalize(PyObject* object) {
  Ref pending = take_exception();
  if (!close_writer(as_writer(object))) PyErr_WriteUnraisable(object);
  if (pending) restore_exception(std::move(pending));
}

int writer_traverse(PyObject* object, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(object));
  const PySDFWriter* self = as_writer(object);
  return self->sink ? self->sink->traverse(visit, arg) : 0;
}

// Runs after the finalizer has written and closed the sink; what is left
// to drop is only references.
int writer_clear(PyObject* object) noexcept {
  as_writer(object)->sink.reset();
  return 0;
}

void writer_dealloc(PyObject* object) {
  if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
  PyObject_GC_UnTrack(object);
  PySDFWriter* self = as_writer(object);
  PyTypeObject* type = Py_TYPE(object);
  self->sink.~optional();
  type->tp_free(object);
  Py_DECREF(type);
}

PyMethodDef writer_methods[] = {
    {"write", entry<writer_write>, METH_O, "write($self, block, /)\n--\n\n"
                                           "Write a block, ending with $$$$, as `str(block)` or `bytes(block)`."},
    {"close", entry<writer_close>, METH_NOARGS, "close($self, /)\n--\n\n"
                                                "Write the buffered blocks and close a path. Closing twice does nothing."},
    {"__enter__", entry<writer_enter>, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", entry<writer_exit>, METH_VARARGS, "__exit__($self, /, *_exc_info)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Write SDBlocks one at a time, buffered as `write_sdf` writes them.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry<writer_dealloc>)},
    {Py_tp_finalize, reinterpret_cast<void*>(entry<writer_finalize>)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    .name = "molbrook.native._SDFWriter",
    .basicsize = sizeof(PySDFWriter),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = writer_slots,
};

}  // namespace

bool init_writer_type() noexcept {
  if (SDFWriterType == nullptr) {
    SDFWriterType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&writer_spec));
  }
  return SDFWriterType != nullptr;
}

PyMethodDef write_sdf_def = {
    "write_sdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<write_sdf>)),
    METH_FASTCALL | METH_KEYWORDS,
    "write_sdf(dest, blocks)\n--\n\nWrite SDBlocks to a path or a file object, and return how many."};

PyMethodDef sdf_writer_def = {
    "sdf_writer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<sdf_writer>)),
    METH_FASTCALL | METH_KEYWORDS,
    "sdf_writer(dest)\n--\n\nWrite SDBlocks one at a time to a path or a file object, buffered."};

}  // namespace molbrook::py
