// _Sorter: a SortJob fed from block iterators and written to sinks. Over a
// mapped file the blocks are split and their keys read without the
// interpreter lock, each kept by its offset; the blocks of a BGZF file come
// through its index, each kept by its ordinal; blocks of other sources are
// kept with their bytes. molbrook._sort checks the arguments, chooses how
// each source is read and owns the folder of run files.
#include "sort/sort.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/args.hpp"
#include "core/sort/sort_job.hpp"
#include "base/digits.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "index/index.hpp"
#include "base/paths.hpp"
#include "read/read.hpp"
#include "block/sdblock.hpp"
#include "write/sink.hpp"
#include "sort/sort_state.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

PyTypeObject* SorterType = nullptr;

bool raise_run_error(const RunError& error) noexcept {
  Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(error.path.data(), to_py_size(error.path.size())));
  if (path) raise_os_error(error.error.code, path.get());
  return false;
}

namespace {

// Arguments ----------------------------------------------------------------

bool text_argument(PyObject* value, std::string& text) noexcept {
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(value, &bytes, &size) < 0) return false;
  text.assign(bytes, to_size(size));
  return true;
}

// An attribute that must be there, as an int in [0, limit]; false with
// the error set.
bool key_field(PyObject* item, const char* field, unsigned long limit, unsigned long& value) noexcept {
  Ref attribute = Ref::steal(PyObject_GetAttrString(item, field));
  if (!attribute) return false;
  value = PyLong_AsUnsignedLong(attribute.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (value <= limit) return true;
  PyErr_Format(PyExc_ValueError, "_Sorter: a key's %s is out of range: %lu", field, value);
  return false;
}

// A key as molbrook._sort encodes it, read by its attributes: `name`
// (bytes, or None for the title), `kind` 0-2, `descending`, `missing` 0-2.
bool key_argument(PyObject* item, SortKeySpec& key) {
  unsigned long kind, descending, missing;
  if (!key_field(item, "kind", 2, kind) || !key_field(item, "descending", 1, descending) ||
      !key_field(item, "missing", 2, missing)) {
    return false;
  }
  Ref name = Ref::steal(PyObject_GetAttrString(item, "name"));
  if (!name) return false;
  key.title = name.get() == Py_None;
  if (!key.title && !text_argument(name.get(), key.name)) return false;
  key.kind = static_cast<KeyKind>(kind);
  key.descending = descending != 0;
  key.missing = static_cast<Missing>(missing);
  return true;
}

bool options_argument(PyObject* keys, PyObject* group, unsigned long long per_group, PyObject* top,
                      Py_ssize_t memory, SortOptions& options) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
    SortKeySpec key;
    if (!key_argument(PyTuple_GET_ITEM(keys, i), key)) return false;
    options.keys.push_back(std::move(key));
  }
  if (group != Py_None) {
    SortKeySpec key;
    if (!key_argument(group, key)) return false;
    options.group = std::move(key);
  }
  options.per_group = per_group;
  if (top != Py_None) {
    options.top = PyLong_AsUnsignedLongLong(top);
    if (*options.top == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  }
  options.memory = to_size(memory);
  return true;
}

// (found, ...) per key, then the group: whether a block had its value.
PyObject* keys_found(const SortJob& job) {
  const size_t count = job.key_count();
  Ref found = Ref::steal(PyTuple_New(to_py_size(count)));
  for (size_t i = 0; found && i < count; ++i) {
    PyTuple_SET_ITEM(found.get(), to_py_size(i), Py_NewRef(job.found(i) ? Py_True : Py_False));
  }
  return found.release();
}

PyObject* names_seen(const SortJob& job) {
  const std::vector<std::string>& names = job.names_seen();
  Ref seen = Ref::steal(PyTuple_New(to_py_size(names.size())));
  for (size_t i = 0; seen && i < names.size(); ++i) {
    PyObject* name = PyBytes_FromStringAndSize(names[i].data(), to_py_size(names[i].size()));
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(seen.get(), to_py_size(i), name);
  }
  return seen.release();
}

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"keys", "group", "per_group", "top", "memory", "folder", "is_bytes",
                                         "provenance", "labels", nullptr};
  PyObject *keys, *group, *top, *folder, *provenance, *labels;
  unsigned long long per_group;
  Py_ssize_t memory;
  int is_bytes;
  if (!parse_arguments(args, kwargs, "$O!OKOnOpOO!:_Sorter", keywords, &PyTuple_Type, &keys, &group, &per_group,
                       &top, &memory, &folder, &is_bytes, &provenance, &PyTuple_Type, &labels)) {
    return nullptr;
  }
  SortOptions options;
  PathArgument folder_path;
  if (memory < 0) {
    PyErr_SetString(PyExc_ValueError, "_Sorter: memory must be 0 or more");
    return nullptr;
  }
  if (!options_argument(keys, group, per_group, top, memory, options) || !convert_path(folder, folder_path)) {
    return nullptr;
  }
  if (!is_bytes) options.str_digits = &interpreter_digits();
  std::optional<std::string> provenance_name;
  if (provenance != Py_None && !text_argument(provenance, provenance_name.emplace())) return nullptr;
  std::vector<SortSource> sources(to_size(PyTuple_GET_SIZE(labels)));
  for (size_t i = 0; i < sources.size(); ++i) {
    if (!text_argument(PyTuple_GET_ITEM(labels, to_py_size(i)), sources[i].label)) return nullptr;
  }
  return new_object<PySorter>(type, std::move(options), std::string(folder_path.c_path()),
                              std::move(provenance_name), std::move(sources), is_bytes ? Kind::Bytes : Kind::Str);
}

// Adding -------------------------------------------------------------------

// A block that could not be added: a malformed record (noting which block
// of its source it was) or a run that could not be written.
bool raise_failure(const SortFailure& failure, uint64_t ordinal, std::string_view title) noexcept {
  if (const RunError* run = std::get_if<RunError>(&failure)) return raise_run_error(*run);
  raise_malformed_record();
  char verb[64];
  std::snprintf(verb, sizeof verb, "Reading block %llu (from 0),", static_cast<unsigned long long>(ordinal));
  note_block(verb, title);
  return false;
}

SortJob* open_job(PySorter* self) noexcept {
  if (!self->job) PyErr_SetString(PyExc_ValueError, "the sort is closed");
  return self->job ? &*self->job : nullptr;
}

// Source bytes read between two calls of a progress callback.
constexpr uint64_t kProgressStep = 1 << 20;

// One source's blocks on their way into the job, and the bytes read of it
// that the progress callback (if any) was not told of yet.
struct Feed {
  SortJob& job;
  uint32_t source = 0;
  PyObject* progress = nullptr;
  SourceIdentity* identity = nullptr;  // of a source read back by offset
  uint64_t ordinal = 0;
  uint64_t unreported = 0;

  // Tells the callback of the bytes read, at least kProgressStep of them
  // unless `all`; false when it raised.
  bool report(bool all = false) {
    if (progress == Py_None || unreported == 0 || (!all && unreported < kProgressStep)) return true;
    Ref bytes = Ref::steal(PyLong_FromUnsignedLongLong(std::exchange(unreported, 0)));
    Ref result = bytes ? Ref::steal(PyObject_CallOneArg(progress, bytes.get())) : Ref();
    return static_cast<bool>(result);
  }

  // Adds a block; the failure and the block's title when it cannot be.
  Status<SortFailure> add(const Block& block, RecordIndexCell& index, std::optional<uint64_t> offset) {
    Status<SortFailure> failed = job.add(block, index, {source, ordinal, offset});
    if (failed) return failed;
    ++ordinal;
    unreported += block.bytes().size();
    if (offset && identity) identity->note_block(*offset, block.bytes().size());
    return std::nullopt;
  }
};

// Splits a mapped file and adds its blocks a batch at a time without the
// interpreter lock, each kept by its offset when `by_offset`; the signal
// handlers and the progress callback run between batches.
bool feed_mapped(Feed& feed, MappedSource& mapped, bool by_offset) {
  ExclusiveBorrow hold(*mapped.borrow);
  if (!hold) return false;
  for (;;) {
    std::optional<SortFailure> failed;
    std::string title;
    const bool ended = take_mapped(
        *mapped.reader,
        [&](Block& block) {
          RecordIndexCell index;
          failed = feed.add(block, index, by_offset ? block.mapped_offset() : std::nullopt);
          if (failed) title = block.title();
          return !failed;
        },
        1);
    if (failed) return raise_failure(*failed, feed.ordinal, title);
    if (ended) return feed.report(true);
    if (PyErr_CheckSignals() < 0 || !feed.report()) return false;
  }
}

bool feed_objects(Feed& feed, PyObject* iterator, Kind kind) {
  while (Ref item = Ref::steal(PyIter_Next(iterator))) {
    if (!is_sdblock(item.get())) {
      raise_not_sdblock(item.get(), "");
      return false;
    }
    PySDBlock* block = as_sdblock(item.get());
    if (block->kind != kind) {
      PyErr_SetString(PyExc_TypeError, "sort_sdf sorts blocks of one kind, str or bytes");
      return false;
    }
    SharedObjectBorrow hold(item.get(), block->borrow);
    if (!hold) return false;
    if (Status<SortFailure> failed = feed.add(block->block, block->record_index, std::nullopt)) {
      return raise_failure(*failed, feed.ordinal, block->block.title());
    }
    if (!feed.report()) return false;
  }
  return !PyErr_Occurred() && feed.report(true);
}

// Readies a mapped source for reading its blocks back by offset: stamps
// its file, opened again by `path`, before its keys are read; reads from
// the mapping while the budget holds all the mappings read from, its
// pages then held from the first read on; else from the file by
// positional reads, which hold no pages.
bool keep_for_offsets(PySorter* self, SortSource& source, MappedReader& reader, PyObject* path) {
  PathArgument argument;
  if (!convert_path(path, argument)) return false;
  source.path = argument.c_path();
  Result<std::optional<SourceIdentity>, platform::SystemError> identity = platform::SystemError{0};
  if (!call_released([&] {
        Result<platform::File, platform::SystemError> file = reopen(source);
        identity = file ? SourceIdentity::take(*file) : file.error();
        return identity ? 0 : identity.error().code;
      })) {
    return false;
  }
  if (!identity) return raise_os_error(identity.error().code, argument.path.get()), false;
  source.identity = std::move(*identity);
  const size_t size = reader.mapping()->bytes().size();
  if (self->mapped + size > self->memory) return true;
  self->mapped += size;
  source.mapping = reader.mapping();
  reader.hold_pages();
  return true;
}

// The source number `number` as a sorter's sources hold it, or null with
// ValueError after the sort was written.
SortSource* source_to_add(PySorter* self, unsigned int number) noexcept {
  if (!self->finished && number < self->sources.size()) return &self->sources[number];
  PyErr_SetString(PyExc_ValueError, "add() after the sort was written, or of an unknown source");
  return nullptr;
}

// add(blocks, *, source, path, progress): the blocks of source number
// `source`, an iterator of parse_sdf or any iterable of SDBlocks; blocks of
// a mapped file are read back from `path` (None: kept with their bytes).
// `progress` (or None) is called with the bytes read as they are.
PyObject* sorter_add(PySorter* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"", "source", "path", "progress", nullptr};
  PyObject *blocks, *path, *progress;
  unsigned int number;
  if (!parse_fastcall(args, nargs, kwnames, "O$IOO:add", keywords, &blocks, &number, &path, &progress)) {
    return nullptr;
  }
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  SortJob* job = open_job(self);
  SortSource* source = job ? source_to_add(self, number) : nullptr;
  if (source == nullptr) return nullptr;
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;
  MappedSource mapped;
  if (!find_mapped_source(iterator.get(), mapped)) return nullptr;
  if (mapped.kind && *mapped.kind != self->kind) {
    PyErr_SetString(PyExc_TypeError, "sort_sdf sorts sources of one kind, str or bytes");
    return nullptr;
  }
  Feed feed{*job, number, progress, nullptr};
  if (mapped.reader == nullptr) {
    return feed_objects(feed, iterator.get(), self->kind) ? PyLong_FromUnsignedLongLong(feed.ordinal) : nullptr;
  }
  const bool by_offset = path != Py_None;
  if (by_offset && !keep_for_offsets(self, *source, *mapped.reader, path)) return nullptr;
  if (source->identity) feed.identity = &*source->identity;
  return feed_mapped(feed, mapped, by_offset) ? PyLong_FromUnsignedLongLong(feed.ordinal) : nullptr;
}

// Blocks of an indexed file read at once: about this many bytes of them.
constexpr uint64_t kIndexedSpan = 1 << 20;

// The end of the ordinals from `first` that together hold about
// kIndexedSpan bytes (one at least).
uint64_t indexed_batch_end(const IndexView& view, uint64_t first) noexcept {
  uint64_t last = first + 1;
  while (last < view.block_count() && view.start(last + 1) - view.start(first) <= kIndexedSpan) ++last;
  return last;
}

// add_indexed(index, *, source, progress): the blocks of source number
// `source` through `index`, an SDIndex of its BGZF file, each kept by its
// ordinal there.
PyObject* sorter_add_indexed(PySorter* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"", "source", "progress", nullptr};
  PyObject *index, *progress;
  unsigned int number;
  if (!parse_fastcall(args, nargs, kwnames, "O$IO:add_indexed", keywords, &index, &number, &progress)) return nullptr;
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  SortJob* job = open_job(self);
  SortSource* source = job ? source_to_add(self, number) : nullptr;
  if (source == nullptr) return nullptr;
  IndexReading reading(index);
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  if (state->kind != self->kind) {
    PyErr_SetString(PyExc_TypeError, "sort_sdf sorts sources of one kind, str or bytes");
    return nullptr;
  }
  source->index = Ref::borrow(index);
  source->indexed = true;
  Feed feed{*job, number, progress, nullptr};
  const IndexView& view = state->view;
  while (feed.ordinal < view.block_count()) {
    const uint64_t first = feed.ordinal;
    std::optional<std::vector<Block>> blocks =
        read_blocks(*state->data, view, state->kind, first, indexed_batch_end(view, first));
    if (!blocks) return nullptr;
    std::optional<SortFailure> failed;
    std::string title;
    {
      ReleasedGil unlocked;
      for (const Block& block : *blocks) {
        RecordIndexCell cell;
        failed = feed.add(block, cell, view.start(feed.ordinal));
        if (failed) {
          title = block.title();
          break;
        }
      }
    }
    if (failed) return raise_failure(*failed, feed.ordinal, title), nullptr;
    if (PyErr_CheckSignals() < 0 || !feed.report()) return nullptr;
  }
  return feed.report(true) ? PyLong_FromUnsignedLongLong(feed.ordinal) : nullptr;
}

// Writing ------------------------------------------------------------------

// write(dest, *, as_bytes, duplicates): the sorted blocks, or with
// `duplicates` those per_group dropped, to `dest` (a path, or a file object
// taking bytes when `as_bytes`, else blocks of the sort's kind); the number
// written.
PyObject* sorter_write(PySorter* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"", "as_bytes", "duplicates", nullptr};
  PyObject* dest;
  int as_bytes, duplicates;
  if (!parse_fastcall(args, nargs, kwnames, "O$pp:write", keywords, &dest, &as_bytes, &duplicates)) return nullptr;
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  SortJob* job = open_job(self);
  if (job == nullptr) return nullptr;
  if (!self->finished) {
    Status<RunError> failed;
    {
      ReleasedGil unlocked;
      failed = job->finish();
    }
    if (failed) return raise_run_error(*failed), nullptr;
    self->finished = true;
  }
  std::optional<SdfSink> sink = SdfSink::open_formatted(dest, as_bytes ? Kind::Bytes : self->kind);
  if (!sink || !sink->finish_after(write_sorted(*self, *sink, duplicates != 0))) return nullptr;
  return PyLong_FromUnsignedLongLong(sink->written());
}

PyObject* sorter_close(PySorter* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  self->job.reset();
  std::vector<SortSource> closed = std::move(self->sources);
  self->sources.clear();
  self->opened.clear();
  Py_RETURN_NONE;
}

PyObject* found_getter(PySorter* self) noexcept {
  SortJob* job = open_job(self);
  return job ? keys_found(*job) : nullptr;
}

PyObject* names_getter(PySorter* self) noexcept {
  SortJob* job = open_job(self);
  return job ? names_seen(*job) : nullptr;
}

template <uint64_t (SortJob::*Count)() const noexcept>
PyObject* count_getter(PySorter* self) noexcept {
  SortJob* job = open_job(self);
  return job ? PyLong_FromUnsignedLongLong(((*job).*Count)()) : nullptr;
}

PyMethodDef sorter_methods[] = {
    method<sorter_add>("add", "add($self, blocks, /, *, source, path, progress)\n--\n\n"
                              "Read the blocks of source number `source`; a mapped file's are read back\n"
                              "from `path` by offset (None: kept with their bytes). `progress`, unless\n"
                              "None, is called with the bytes read as they are. The blocks read."),
    method<sorter_add_indexed>("add_indexed", "add_indexed($self, index, /, *, source, progress)\n--\n\n"
                                              "Read the blocks of source number `source` through `index`, an SDIndex\n"
                                              "of its BGZF file, and read them back by ordinal. The blocks read."),
    method<sorter_write>("write", "write($self, dest, /, *, as_bytes, duplicates)\n--\n\n"
                                  "Write the sorted blocks, or those per_group dropped, to `dest`; the number\n"
                                  "written."),
    method<sorter_close>("close", "close($self, /)\n--\n\nClose the run files and free the sort."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sorter_getset[] = {
    property<count_getter<&SortJob::blocks_in>>("blocks_in", "Blocks read."),
    property<count_getter<&SortJob::missing_dropped>>("missing_dropped", "Blocks left out for a missing key."),
    property<count_getter<&SortJob::duplicates>>("duplicates", "Blocks per_group dropped."),
    property<count_getter<&SortJob::spilled_runs>>("spilled_runs", "Run files written."),
    property<found_getter>("keys_found", "Per key, then the group: whether any block had its value."),
    property<names_getter>("names_seen", "The record names of the first blocks of each source, as bytes."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kSorterDoc =
    "_Sorter(*, keys, group, per_group, top, memory, folder, is_bytes, provenance, labels)\n--\n\n"
    "The blocks of several sources sorted within a memory budget; made by sort_sdf.";

}  // namespace

bool init_sorter_type() noexcept {
  if (SorterType == nullptr) {
    SorterType = new_type<PySorter>("molbrook.native._Sorter", 0, PyType_Slot{Py_tp_doc, const_cast<char*>(kSorterDoc)},
                                    slot<sorter_new>(Py_tp_new), PyType_Slot{Py_tp_methods, sorter_methods},
                                    PyType_Slot{Py_tp_getset, sorter_getset});
  }
  return SorterType != nullptr;
}

}  // namespace molbrook::py
