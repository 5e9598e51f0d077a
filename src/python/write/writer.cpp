#include "write/writer.hpp"

#include <optional>
#include <utility>

#include "base/args.hpp"
#include "base/borrow.hpp"
#include "base/compat.hpp"
#include "base/entry.hpp"
#include "block/sdblock.hpp"
#include "write/sink.hpp"

namespace molbrook::py {

PyTypeObject* SDFWriterType = nullptr;

namespace {

// The state of an sdf_writer.
struct PySDFWriter {
  explicit PySDFWriter(SdfSink sink) noexcept : sink(std::move(sink)) {}

  // A path may be a str or bytes subclass whose attributes lead back to
  // the writer, as the file object's method may.
  int traverse(visitproc visit, void* arg) const noexcept { return sink ? sink->traverse(visit, arg) : 0; }
  // Runs after the finalizer has written and closed the sink; what is left
  // to drop is only references.
  void clear() noexcept { sink.reset(); }
  void finalize() noexcept;

  std::optional<SdfSink> sink;  // empty once closed
  BorrowState borrow{"SDF writer"};
};

PyObject* write_sdf(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"dest", "blocks", nullptr};
  PyObject *dest, *blocks;
  if (!parse_fastcall(args, nargs, kwnames, "OO:write_sdf", keywords, &dest, &blocks)) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;
  std::optional<SdfSink> sink = SdfSink::open(dest);
  if (!sink || !write_blocks(*sink, iterator.get(), [](PySDBlock*) { return true; })) return nullptr;
  return PyLong_FromUnsignedLongLong(sink->written());
}

PyObject* sdf_writer(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"dest", nullptr};
  PyObject* dest;
  if (!parse_fastcall(args, nargs, kwnames, "O:sdf_writer", keywords, &dest)) return nullptr;
  std::optional<SdfSink> sink = SdfSink::open(dest);
  if (!sink) return nullptr;
  return new_object<PySDFWriter>(SDFWriterType, std::move(*sink));
}

// The writer counts as closed before the flush, so a failed close leaves
// it closed.
bool close_writer(PySDFWriter* self) {
  if (!self->sink) return true;
  SdfSink sink = std::move(*self->sink);
  self->sink.reset();
  return sink.finish();
}

// A writer dropped without close() still writes its blocks; an error then
// has no caller to go to and reaches the unraisable hook.
void PySDFWriter::finalize() noexcept {
  Ref pending = take_exception();
  if (!Entry<close_writer>::call(this)) PyErr_WriteUnraisable(object_of(this));
  if (pending) restore_exception(std::move(pending));
}

PyObject* writer_write(PySDFWriter* self, PyObject* block) {
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

PyObject* writer_close(PySDFWriter* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  if (!close_writer(self)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* writer_enter(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* writer_exit(PySDFWriter* self, PyObject* const*, Py_ssize_t) { return writer_close(self); }

PyMethodDef writer_methods[] = {
    method<writer_write>("write", "write($self, block, /)\n--\n\n"
                                  "Write a block, ending with $$$$, as `str(block)` or `bytes(block)`.\n\n"
                                  "Parameters\n"
                                  "----------\n"
                                  "block : SDBlock\n"
                                  "    The block to write: a str block to a text file object (or a path),\n"
                                  "    a bytes block to a binary one.\n\n"
                                  "Raises\n"
                                  "------\n"
                                  "TypeError\n"
                                  "    `block` is not an SDBlock, or of the wrong type for the file object.\n"
                                  "ValueError\n"
                                  "    The writer is closed.\n\n"
                                  "Examples\n"
                                  "--------\n"
                                  ">>> import io, molbrook\n"
                                  ">>> out = io.StringIO()\n"
                                  ">>> with molbrook.sdf_writer(out) as writer:\n"
                                  "...     for block in molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"):\n"
                                  "...         writer.write(block)\n"
                                  ">>> out.getvalue().count(\"$$$$\")\n"
                                  "5\n"),
    method<writer_close>("close", "close($self, /)\n--\n\n"
                                  "Write the buffered blocks and close a path. Closing twice does nothing.\n\n"
                                  "Examples\n"
                                  "--------\n"
                                  ">>> import molbrook\n"
                                  ">>> writer = molbrook.sdf_writer(\"first.sdf\")\n"
                                  ">>> writer.write(next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\")))\n"
                                  ">>> writer.close()\n"
                                  ">>> [block.title for block in molbrook.parse_sdf(\"first.sdf\")]\n"
                                  "['ethanol']\n"),
    method<writer_enter>("__enter__", "__enter__($self, /)\n--\n\n"),
    method<writer_exit>("__exit__", "__exit__($self, /, *_exc_info)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kWriterDoc = "Write SDBlocks one at a time, buffered as `write_sdf` writes them.";

}  // namespace

bool init_writer_type() noexcept {
  if (SDFWriterType == nullptr) {
    SDFWriterType = new_type<PySDFWriter>("molbrook.native._SDFWriter", Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                          PyType_Slot{Py_tp_doc, const_cast<char*>(kWriterDoc)},
                                          PyType_Slot{Py_tp_methods, writer_methods});
  }
  return SDFWriterType != nullptr;
}

PyMethodDef write_sdf_def = function<write_sdf>(
    "write_sdf",
    "write_sdf(dest, blocks)\n--\n\n"
    "Write SDBlocks to a path or a file object, and return how many.\n\n"
    "Each block is written as `str(block)` or `bytes(block)` gives it: its\n"
    "bytes as read or edited, ending with a `$$$$` line. Blocks go through\n"
    "a buffer; every write is checked and a failed one raises.\n\n"
    "Parameters\n"
    "----------\n"
    "dest : str, bytes, os.PathLike or file object\n"
    "    A path is created or truncated and written as given (uncompressed,\n"
    "    whatever its name; `molbrook.write_table` and the command line's\n"
    "    `-o` compress by extension). A text file object takes str blocks,\n"
    "    a binary one bytes blocks (str blocks as UTF-8 to a path).\n"
    "blocks : Iterable[SDBlock]\n"
    "    Any iterable of blocks: a list, a reader, a generator.\n\n"
    "Returns\n"
    "-------\n"
    "int\n"
    "    The number of blocks written.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    An item is not an SDBlock, or its kind does not suit the file object.\n"
    "OSError\n"
    "    The path cannot be created or a write fails.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> blocks = molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\")\n"
    ">>> molbrook.write_sdf(\"copy.sdf\", blocks)\n"
    "5\n");

PyMethodDef sdf_writer_def = function<sdf_writer>(
    "sdf_writer",
    "sdf_writer(dest)\n--\n\n"
    "Open a writer of SDBlocks, one at a time, to a path or a file object.\n\n"
    "The writer buffers as `write_sdf` does; `write(block)` adds a block and\n"
    "`close()` (or the end of a `with` block) writes what is buffered and\n"
    "closes a path. A writer dropped without closing still writes its blocks.\n\n"
    "Parameters\n"
    "----------\n"
    "dest : str, bytes, os.PathLike or file object\n"
    "    As for `write_sdf`: a path written as given, a text file object for\n"
    "    str blocks, a binary one for bytes blocks.\n\n"
    "Returns\n"
    "-------\n"
    "writer\n"
    "    A context manager with `write(block)` and `close()`.\n\n"
    "Raises\n"
    "------\n"
    "OSError\n"
    "    The path cannot be created, or a write fails (on `write` or `close`).\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> with molbrook.sdf_writer(\"light.sdf\") as out:\n"
    "...     for block in molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"):\n"
    "...         if float(block[\"MW\"]) < 50:\n"
    "...             block[\"CLASS\"] = \"light\"\n"
    "...             out.write(block)\n"
    ">>> [block.title for block in molbrook.parse_sdf(\"light.sdf\")]\n"
    "['ethanol', 'methylamine', 'acetonitrile']\n");

}  // namespace molbrook::py
