// _Sorter: a SortJob fed from block iterators and written to sinks. Over a
// mapped file the blocks are split and their keys read without the
// interpreter lock, each kept by its offset; blocks of other sources are
// kept with their bytes. molbrook._sort checks the arguments and owns the
// folder of run files.
#include "sort.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "borrow.hpp"
#include "core/records/edit.hpp"
#include "core/sort/sort_job.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "paths.hpp"
#include "read.hpp"
#include "names.hpp"
#include "sdblock.hpp"
#include "sink.hpp"

namespace molbrook::py {

PyTypeObject* SorterType = nullptr;

namespace {

// The state of a _Sorter.
struct PySorter {
  PySorter(SortOptions options, std::string folder, std::optional<std::string> provenance,
           std::vector<std::string> labels, Kind kind)
      : job(std::in_place, std::move(options), std::move(folder)),
        files(labels.size()),
        mappings(labels.size()),
        provenance(std::move(provenance)),
        labels(std::move(labels)),
        kind(kind) {}

  BorrowState borrow;
  std::optional<SortJob> job;  // empty once closed
  // Per source, the file its blocks are read back from by offset, and its
  // mapping, which serves them instead while no run was spilled (a sort
  // that spills keeps to positional reads, holding no pages).
  std::vector<platform::File> files;
  std::vector<MappingRef> mappings;
  std::optional<std::string> provenance;  // the record naming each block's origin
  std::vector<std::string> labels;        // per source, as provenance names it
  std::vector<BlockOrigin> refused;  // blocks that could not take the provenance record
  Kind kind;
  bool finished = false;
};

// Arguments ----------------------------------------------------------------

bool text_argument(PyObject* value, std::string& text) noexcept {
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(value, &bytes, &size) < 0) return false;
  text.assign(bytes, static_cast<size_t>(size));
  return true;
}

// (name or None, title, kind 0-2, descending, missing 0-2), as
// molbrook._sort makes it.
bool key_argument(PyObject* item, SortKeySpec& key) {
  PyObject* name;
  int title, descending;
  unsigned int kind, missing;
  if (!PyArg_ParseTuple(item, "OpIpI", &name, &title, &kind, &descending, &missing)) return false;
  if (kind > 2 || missing > 2) {
    PyErr_SetString(PyExc_ValueError, "_Sorter: a key's kind or missing is out of range");
    return false;
  }
  if (name != Py_None && !text_argument(name, key.name)) return false;
  key.title = title != 0;
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
    if (PyErr_Occurred()) return false;
  }
  options.memory = static_cast<size_t>(memory);
  return true;
}

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"keys", "group", "per_group", "top", "memory", "folder", "is_bytes",
                                   "provenance", "labels", nullptr};
  PyObject *keys, *group, *top, *folder, *provenance, *labels;
  unsigned long long per_group;
  Py_ssize_t memory;
  int is_bytes;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OKOnOpOO!:_Sorter", const_cast<char**>(keywords), &PyTuple_Type,
                                   &keys, &group, &per_group, &top, &memory, &folder, &is_bytes, &provenance,
                                   &PyTuple_Type, &labels)) {
    return nullptr;
  }
  SortOptions options;
  PathArgument folder_path;
  if (memory < 0 || !options_argument(keys, group, per_group, top, memory, options) ||
      !convert_path(folder, folder_path)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "_Sorter: memory must be 0 or more");
    return nullptr;
  }
  std::optional<std::string> provenance_name;
  if (provenance != Py_None && !text_argument(provenance, provenance_name.emplace())) return nullptr;
  std::vector<std::string> label_texts(static_cast<size_t>(PyTuple_GET_SIZE(labels)));
  for (size_t i = 0; i < label_texts.size(); ++i) {
    if (!text_argument(PyTuple_GET_ITEM(labels, static_cast<Py_ssize_t>(i)), label_texts[i])) return nullptr;
  }
  return new_object<PySorter>(type, std::move(options), std::string(folder_path.c_path()),
                              std::move(provenance_name), std::move(label_texts), is_bytes ? Kind::Bytes : Kind::Str);
}

// Errors -------------------------------------------------------------------

bool raise_run_error(const RunError& error) noexcept {
  Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
  if (path) raise_os_error(error.error.code, path.get());
  return false;
}

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

// Adding -------------------------------------------------------------------

struct Feed {
  SortJob& job;
  uint32_t source;
  bool by_offset;  // blocks that are slices of the file are kept by offset
  uint64_t ordinal = 0;
};

// Splits a mapped file and adds its blocks a batch at a time without the
// interpreter lock, running the signal handlers between batches.
bool feed_mapped(Feed& feed, MappedSource& mapped) {
  ExclusiveBorrow hold(*mapped.borrow);
  if (!hold) return false;
  MappedReader& reader = *mapped.reader;
  for (;;) {
    std::optional<SortFailure> failed;
    std::string title;
    bool ended = false;
    {
      ReleasedGil unlocked;
      reader.next_batch();
      ended = !reader.has_block();
      while (reader.has_block() && !failed) {
        Block block = reader.pop();
        RecordIndexCell index;
        const std::optional<size_t> offset = feed.by_offset ? block.mapped_offset() : std::nullopt;
        failed = feed.job.add(block, index, {feed.source, feed.ordinal, offset});
        if (failed) {
          title = block.title();
        } else {
          ++feed.ordinal;
        }
      }
    }
    if (failed) return raise_failure(*failed, feed.ordinal, title);
    if (ended) return true;
    if (PyErr_CheckSignals() < 0) return false;
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
    SharedBorrow hold(block->borrow);
    if (!hold) return false;
    if (Status<SortFailure> failed = feed.job.add(block->block, block->record_index, {feed.source, feed.ordinal, {}})) {
      return raise_failure(*failed, feed.ordinal, block->block.title());
    }
    ++feed.ordinal;
  }
  return !PyErr_Occurred();
}

// Opens `path`, the file a mapped source reads, for reading blocks back.
bool open_for_offsets(PySorter* self, uint32_t source, PyObject* path) {
  PathArgument argument;
  if (!convert_path(path, argument)) return false;
  Result<platform::File, platform::SystemError> file = platform::SystemError{0};
  {
    ReleasedGil unlocked;
    file = platform::open_read_only(argument.c_path());
  }
  if (!file) {
    raise_os_error(file.error().code, argument.path.get());
    return false;
  }
  self->files[source] = std::move(*file);
  return true;
}

// add(blocks, source, path): the blocks of source number `source`, an
// iterator of parse_sdf or any iterable of SDBlocks; blocks of a mapped
// file are read back from `path` (None: kept with their bytes).
PyObject* sorter_add(PySorter* self, PyObject* const* args, Py_ssize_t nargs) {
  static const char* const keywords[] = {"", "", "", nullptr};
  PyObject *blocks, *path;
  unsigned int source;
  if (!parse_fastcall(args, nargs, nullptr, "OIO:add", keywords, &blocks, &source, &path)) return nullptr;
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  SortJob* job = open_job(self);
  if (job == nullptr) return nullptr;
  if (self->finished || source >= self->files.size()) {
    PyErr_SetString(PyExc_ValueError, "add() after the sort was written, or of an unknown source");
    return nullptr;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(blocks));
  if (!iterator) return nullptr;
  MappedSource mapped;
  if (!find_mapped_source(iterator.get(), mapped)) return nullptr;
  if (mapped.kind && *mapped.kind != self->kind) {
    PyErr_SetString(PyExc_TypeError, "sort_sdf sorts sources of one kind, str or bytes");
    return nullptr;
  }
  Feed feed{*job, source, mapped.reader != nullptr && path != Py_None};
  if (feed.by_offset && !open_for_offsets(self, source, path)) return nullptr;
  if (feed.by_offset) self->mappings[source] = mapped.reader->mapping();
  bool fed = mapped.reader != nullptr ? feed_mapped(feed, mapped) : feed_objects(feed, iterator.get(), self->kind);
  return fed ? PyLong_FromUnsignedLongLong(feed.ordinal) : nullptr;
}

// Writing ------------------------------------------------------------------

// Blocks read back between two takings of the interpreter lock.
constexpr size_t kBatchBlocks = 256;

// A batch of blocks read back, or why it stopped short.
struct Batch {
  std::vector<Block> blocks;
  std::optional<RunError> run_error;
  uint32_t failed_source = 0;
  int read_error = 0;    // errno of a failed read back
  bool changed = false;  // the source no longer holds a block where it was
  std::optional<EditError> edit_error;  // the provenance record could not be set
  bool ended = false;
  bool failed() const noexcept { return run_error || read_error != 0 || changed || edit_error; }
};

// The block `sorted` describes, read back by offset when kept so, with its
// provenance record; false with the failure noted in `batch`. Touches no
// Python object.
bool materialize(PySorter* self, const SortedBlock& sorted, bool from_mapping, Batch& batch) {
  if (from_mapping && sorted.origin.offset && !self->provenance) {
    const size_t start = static_cast<size_t>(*sorted.origin.offset);
    const size_t end = start + static_cast<size_t>(sorted.length);
    const std::string_view bytes = self->mappings[sorted.origin.source]->bytes();
    std::optional<Block> block;
    if (end <= bytes.size() && sorted.length >= 5) {
      const size_t terminator = bytes.substr(start, end - start).ends_with("$$$$\r\n") ? 6 : 5;
      block = Block::borrow(self->mappings[sorted.origin.source], start, end, end - start - terminator);
    }
    if (!block) {
      batch.changed = true;
      return false;
    }
    batch.blocks.push_back(std::move(*block));
    return true;
  }
  ByteBuffer bytes;
  if (sorted.origin.offset) {
    bytes.reserve(static_cast<size_t>(sorted.length));
    Result<size_t, platform::SystemError> count = platform::read_at(
        self->files[sorted.origin.source], *sorted.origin.offset, bytes.data(), static_cast<size_t>(sorted.length));
    if (!count) {
      batch.read_error = count.error().code;
      return false;
    }
    bytes.set_size(*count);
  } else {
    bytes.append(sorted.bytes);
  }
  const std::string_view view = bytes.view();
  const size_t terminator = view.ends_with("$$$$\r\n") ? 6 : 5;
  std::optional<Block> block;
  if (view.size() == sorted.length && view.size() >= terminator && view.ends_with("\n")) {
    block = Block::copy_unchanged(view, view.size() - terminator);
  }
  if (!block) {
    batch.changed = true;
    return false;
  }
  if (self->provenance) {
    const std::string value = self->labels[sorted.origin.source] + ":" + std::to_string(sorted.origin.ordinal);
    if (EditStatus refused = set_record(*block, *self->provenance, value, HeaderStyle::Plain)) {
      // A block that cannot take records is written as it is and named
      // once all are written.
      if (*refused == EditError::MalformedRecord) {
        batch.edit_error = *refused;
        return false;
      }
      self->refused.push_back(sorted.origin);
    }
  }
  batch.blocks.push_back(std::move(*block));
  return true;
}

// The next blocks to write, up to kBatchBlocks. Touches no Python object.
void read_batch(PySorter* self, SortJob& job, bool duplicates, Batch& batch) {
  const bool from_mapping = job.spilled_runs() == 0;
  while (batch.blocks.size() < kBatchBlocks) {
    SortedBlock sorted;
    Result<bool, RunError> next = duplicates ? job.next_duplicate(sorted) : job.next_sorted(sorted);
    if (!next) {
      batch.run_error = std::move(next.error());
      return;
    }
    if (!*next) {
      batch.ended = true;
      return;
    }
    if (!materialize(self, sorted, from_mapping, batch)) {
      batch.failed_source = sorted.origin.source;
      return;
    }
  }
}

bool raise_batch(PySorter* self, const Batch& batch) noexcept {
  if (batch.run_error) return raise_run_error(*batch.run_error);
  const std::string& label = self->labels[batch.failed_source];
  Ref path = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(label.data(), static_cast<Py_ssize_t>(label.size())));
  if (!path) return false;
  if (batch.read_error != 0) {
    raise_os_error(batch.read_error, path.get());
  } else if (batch.changed) {
    PyErr_Format(PyExc_ValueError, "%R changed while it was sorted", path.get());
  } else {
    raise_edit_error(*batch.edit_error);
  }
  return false;
}

// ValueError naming the first blocks that could not take the provenance
// record.
bool raise_refused(PySorter* self) {
  std::string shown;
  for (size_t i = 0; i < std::min<size_t>(self->refused.size(), 10); ++i) {
    const BlockOrigin& origin = self->refused[i];
    if (i > 0) shown += ", ";
    shown += self->labels[origin.source] + ":" + std::to_string(origin.ordinal);
  }
  if (self->refused.size() > 10) shown += " and " + std::to_string(self->refused.size() - 10) + " more";
  PyErr_Format(PyExc_ValueError,
               "no M  END line ends the MDL of %s %s (ordinals from 0): a provenance record there would not "
               "read back",
               self->refused.size() > 1 ? "blocks" : "block", shown.c_str());
  return false;
}

// Writes the sorted blocks (or those set aside) to the sink, a batch at a
// time; false with the error set.
bool write_all(PySorter* self, SortJob& job, SdfSink& sink, bool duplicates) {
  for (;;) {
    Batch batch;
    batch.blocks.reserve(kBatchBlocks);
    {
      ReleasedGil unlocked;
      read_batch(self, job, duplicates, batch);
    }
    for (Block& block : batch.blocks) {
      Ref object = Ref::steal(wrap_block(SDBlockType, std::move(block), self->kind, /*utf8_valid=*/false));
      if (!object || !sink.write_block(as_sdblock(object.get()))) return false;
    }
    if (batch.failed()) return raise_batch(self, batch);
    if (batch.ended) return self->refused.empty() || raise_refused(self);
    if (PyErr_CheckSignals() < 0) return false;
  }
}

// write(dest, text_as_utf8, duplicates): the sorted blocks, or with
// `duplicates` those per_group dropped, to `dest` as sdf_writer writes;
// the number written.
PyObject* sorter_write(PySorter* self, PyObject* const* args, Py_ssize_t nargs) {
  static const char* const keywords[] = {"", "", "", nullptr};
  PyObject* dest;
  int as_utf8, duplicates;
  if (!parse_fastcall(args, nargs, nullptr, "Opp:write", keywords, &dest, &as_utf8, &duplicates)) return nullptr;
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
  std::optional<SdfSink> sink = SdfSink::open(dest, as_utf8 != 0);
  if (!sink || !sink->finish_after(write_all(self, *job, *sink, duplicates != 0))) return nullptr;
  return PyLong_FromUnsignedLongLong(sink->written());
}

PyObject* sorter_close(PySorter* self) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  self->job.reset();
  self->files.clear();
  self->mappings.clear();
  Py_RETURN_NONE;
}

template <uint64_t (SortJob::*Count)() const noexcept>
PyObject* count_getter(PySorter* self) noexcept {
  SortJob* job = open_job(self);
  return job ? PyLong_FromUnsignedLongLong(((*job).*Count)()) : nullptr;
}

PyMethodDef sorter_methods[] = {
    method<sorter_add>("add", "add($self, blocks, source, path, /)\n--\n\n"
                              "Read the blocks of source number `source`; a mapped file's are read back\n"
                              "from `path` by offset (None: kept with their bytes). The blocks read."),
    method<sorter_write>("write", "write($self, dest, text_as_utf8, duplicates, /)\n--\n\n"
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kSorterDoc =
    "_Sorter(keys, group, per_group, top, memory, folder, is_bytes, provenance, labels)\n--\n\n"
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
