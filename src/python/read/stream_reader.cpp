// The first bytes are held until they tell the format, by the rule
// parse_sdf applies; a compressed stream then goes through the one
// Decompressor every reading route uses, plain bytes pass as read.
#include "read/stream_reader.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "base/args.hpp"
#include "base/borrow.hpp"
#include "core/read/compression.hpp"
#include "read/decompressor.hpp"
#include "base/entry.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

namespace {

// The state of a _StreamReader.
struct PyStreamReader {
  PyStreamReader(Ref read, Ref name, Py_ssize_t max_length) noexcept
      : read(std::move(read)), name(std::move(name)), max_length(max_length) {}

  int traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(read.get());
    Py_VISIT(name.get());
    Py_VISIT(held.get());
    return decompressor ? decompressor->traverse(visit, arg) : 0;
  }
  // Releasing them may run Python code, which must find the reader empty.
  void clear() noexcept {
    Ref dropped[] = {std::move(read), std::move(name), std::move(held)};
    std::optional<Decompressor> dropped_decompressor = std::exchange(decompressor, std::nullopt);
    decided = true;
  }

  BorrowState borrow{"stream reader"};
  Ref read;  // the stream's read method
  Ref name;  // for the note on a decompression error; may be null
  Py_ssize_t max_length;  // the most one read of a compressed stream gives
  Ref held;  // bytes read before the format was told
  std::optional<Decompressor> decompressor;
  bool decided = false;
};

std::string_view view_of(PyObject* bytes) noexcept {
  return {PyBytes_AS_STRING(bytes), to_size(PyBytes_GET_SIZE(bytes))};
}

// read(size) of the stream, which must give bytes; empty at its end.
Ref read_raw(PyStreamReader* self, Py_ssize_t size) noexcept {
  Ref data = Ref::steal(PyObject_CallFunction(self->read.get(), "n", size));
  if (data && !PyBytes_Check(data.get())) {
    PyErr_Format(PyExc_TypeError, "a binary stream must read bytes, not %.200s", Py_TYPE(data.get())->tp_name);
    return {};
  }
  return data;
}

// Reads until the held bytes tell the format (or the stream ends), then
// makes the decompressor a compressed stream needs.
bool decide(PyStreamReader* self, Py_ssize_t size) noexcept {
  std::optional<Compression> format;
  while (!(format = compression_of_start(view_of(self->held.get())))) {
    Ref more = read_raw(self, size);
    if (!more) return false;
    if (PyBytes_GET_SIZE(more.get()) == 0) {
      format = compression_of(view_of(self->held.get()));
      break;
    }
    PyObject* held = self->held.release();
    PyBytes_Concat(&held, more.get());
    self->held = Ref::steal(held);
    if (!self->held) return false;
  }
  self->decided = true;
  if (*format == Compression::None) return true;
  self->decompressor = Decompressor::open(*format, self->max_length);
  return self->decompressor && self->decompressor->give(std::move(self->held));
}

// The next decompressed bytes, compressed ones read `size` at a time;
// empty once the stream ends where its format allows.
PyObject* decompressed(PyStreamReader* self, Py_ssize_t size) noexcept {
  for (;;) {
    Ref output;
    switch (self->decompressor->step(output)) {
      case Decompressor::Status::Output:
        if (output && PyBytes_GET_SIZE(output.get()) != 0) return output.release();
        break;
      case Decompressor::Status::NeedInput: {
        Ref raw = read_raw(self, size);
        if (!raw || !self->decompressor->give(std::move(raw))) return nullptr;
        break;
      }
      case Decompressor::Status::Finished:
        return PyBytes_FromStringAndSize(nullptr, 0);
      case Decompressor::Status::Failed:
        if (self->name) note_decompressing(self->name.get());
        return nullptr;
    }
  }
}

PyObject* reader_read(PyStreamReader* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static const char* const keywords[] = {"size", nullptr};
  Py_ssize_t size;
  if (!parse_fastcall(args, nargs, kwnames, "n:read", keywords, &size)) return nullptr;
  if (size <= 0) {
    PyErr_SetString(PyExc_ValueError, "_StreamReader.read takes a positive size");
    return nullptr;
  }
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  if (!self->decided) {
    self->held = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!self->held || !decide(self, size)) return nullptr;
    if (!self->decompressor) return self->held.release();
  }
  if (self->decompressor) return decompressed(self, size);
  return read_raw(self, size).release();
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* const keywords[] = {"read", "name", "max_length", nullptr};
  PyObject* read;
  PyObject* name = nullptr;
  Py_ssize_t max_length = Decompressor::kOutputLimit;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$On:_StreamReader", const_cast<char**>(keywords), &read, &name,
                                   &max_length)) {
    return nullptr;
  }
  if (!PyCallable_Check(read)) {
    PyErr_SetString(PyExc_TypeError, "_StreamReader takes a stream's read method");
    return nullptr;
  }
  if (max_length <= 0) {
    PyErr_SetString(PyExc_ValueError, "_StreamReader's max_length must be positive");
    return nullptr;
  }
  return new_object<PyStreamReader>(type, Ref::borrow(read), Ref::borrow(name), max_length);
}

PyMethodDef reader_methods[] = {
    method<reader_read>("read", "read($self, size)\n--\n\n"
                                "The stream's next bytes, decompressed, its bytes read `size` at a time;\n"
                                "empty at its end. A truncated or corrupt compressed stream raises the\n"
                                "decompressor's error."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kReaderDoc =
    "_StreamReader(read, *, name=None, max_length=131072)\n--\n\n"
    "The bytes a binary stream's read method gives, decompressed when its\n"
    "first bytes tell a compression format, as parse_sdf tells it: at most\n"
    "max_length bytes a read. A decompression error gets a note naming\n"
    "`name`, when given.";

}  // namespace

PyTypeObject* new_stream_reader_type(PyObject* module) noexcept {
  return new_type<PyStreamReader>(module, "molbrook.native._StreamReader", 0,
                                  PyType_Slot{Py_tp_doc, const_cast<char*>(kReaderDoc)}, slot<reader_new>(Py_tp_new),
                                  PyType_Slot{Py_tp_methods, reader_methods});
}

}  // namespace molbrook::py
