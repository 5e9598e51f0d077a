// _open_index: an SDIndex from the sidecar's bytes when they still
// describe the data file, else from extending it (the file was appended to) or from a
// new scan, whose index file the caller then keeps.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/args.hpp"
#include "core/index/freshness.hpp"
#include "core/index/index_builder.hpp"
#include "core/read/open_file.hpp"
#include "base/entry.hpp"
#include "base/errors.hpp"
#include "base/gil.hpp"
#include "index/index.hpp"
#include "read/opened.hpp"
#include "base/paths.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// Chunks of a plain file that is not mapped (on a network filesystem).
constexpr size_t kScanChunk = 1 << 20;

// What _open_index was asked for.
struct OpenArguments {
  PathArgument path;
  PyObject* sidecar = Py_None;  // the kept index file's bytes, or None
  PyObject* bgzf = Py_None;     // molbrook._bgzf for a BGZF file, or None
  std::optional<KeySpec> wanted;
  // Remote data: read through read_at(offset, size), of `size` bytes; with
  // `fresh` the caller has checked that the sidecar describes it.
  PyObject* read_at = Py_None;
  unsigned long long size = 0;
  int fresh = 0;
  bool is_bgzf() const noexcept { return bgzf != Py_None; }
  bool is_remote() const noexcept { return read_at != Py_None; }
};

// The data file: opened by open_for_reading's rule (mapped when that is
// safe), its handle kept for the index's later reads.
struct OpenedData {
  std::unique_ptr<DataFile> data;
  MappingRef mapping;
  FileState state;
};

bool parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, OpenArguments& parsed) {
  static const char* const keywords[] = {"path", "sidecar", "key", "on_title", "bgzf", "read_at", "size", "fresh",
                                         nullptr};
  PyObject* path;
  PyObject* key = Py_None;
  PyObject* title = Py_False;
  if (!parse_fastcall(args, nargs, kwnames, "O|$OOOOOKp:_open_index", keywords, &path, &parsed.sidecar, &key, &title,
                      &parsed.bgzf, &parsed.read_at, &parsed.size, &parsed.fresh)) {
    return false;
  }
  if (!convert_path(path, parsed.path)) return false;
  if (parsed.sidecar != Py_None && !PyBytes_Check(parsed.sidecar)) {
    PyErr_SetString(PyExc_TypeError, "_open_index sidecar must be bytes or None");
    return false;
  }
  const int on_title = PyObject_IsTrue(title);
  if (on_title < 0) return false;
  if (on_title) {
    parsed.wanted = KeySpec{true, {}};
  } else if (key != Py_None) {
    if (!PyBytes_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "_open_index key must be bytes or None");
      return false;
    }
    parsed.wanted = KeySpec{false, std::string(bytes_view(key))};
  }
  return true;
}

// Opens the data file read-only, or takes the remote data's reader;
// ValueError for anything but a regular file.
std::optional<OpenedData> open_data(const OpenArguments& arguments) {
  Ref inflate = arguments.is_bgzf() ? Ref::steal(PyObject_GetAttrString(arguments.bgzf, "inflate")) : Ref();
  if (arguments.is_bgzf() && !inflate) return std::nullopt;
  if (arguments.is_remote()) {
    return OpenedData{std::make_unique<DataFile>(Ref::borrow(arguments.read_at), Ref::borrow(arguments.path.path.get()),
                                                 std::move(inflate)),
                      MappingRef(), FileState{arguments.size, 0}};
  }
  OpenedFile opened;
  if (!open_released(arguments.path, opened, MappedHandle::Keep)) return std::nullopt;
  std::optional<int64_t> mtime = platform::modification_time_ns(opened.file);
  if (!opened.seekable || !mtime) {
    PyErr_Format(PyExc_ValueError, "index_sdf needs a regular file, not %R", arguments.path.path.get());
    return std::nullopt;
  }
  return OpenedData{std::make_unique<DataFile>(std::move(opened.file), Ref::borrow(arguments.path.path.get()),
                                               std::move(inflate)),
                    std::move(opened.mapping), FileState{opened.size, *mtime}};
}

uint64_t spot_check_seed(const void* salt) noexcept {
  return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         reinterpret_cast<uintptr_t>(salt);
}

bool raise_build_error(const ModuleState& module, const IndexBuildError& error, PyObject* path) noexcept {
  if (error.kind == IndexBuildError::MalformedRecord) {
    raise_malformed_record(module);
  } else {
    PyErr_SetString(PyExc_ValueError, "too many keys for an index: at most 2**32 blocks and 4 GiB of key text");
  }
  Ref note = Ref::steal(PyUnicode_FromFormat("while indexing block %llu of %R",
                                             static_cast<unsigned long long>(error.ordinal), path));
  if (note) add_note(note.get());
  return false;
}

// Scans a plain file from the builder's resume point: its mapping when
// it was mapped, else read in chunks.
bool scan_plain(const ModuleState& module, IndexBuilder& builder, OpenedData& opened) {
  Status<IndexBuildError> failed;
  DataFile& data = *opened.data;
  if (opened.mapping) {
    {
      ReleasedGil unlocked;
      failed = builder.scan_whole(opened.mapping->bytes(), &opened.mapping);
    }
    return !failed || raise_build_error(module, *failed, data.path());
  }
  const uint64_t size = opened.state.size;
  ByteBuffer chunk;
  for (uint64_t offset = builder.resume_start(); offset < size && !failed; offset += chunk.size()) {
    if (!data.read_file(offset, static_cast<size_t>(std::min<uint64_t>(kScanChunk, size - offset)), chunk)) return false;
    if (chunk.empty()) break;  // truncated meanwhile
    ReleasedGil unlocked;
    failed = builder.feed(chunk.view());
  }
  if (!failed) failed = builder.finish_stream();
  return !failed || raise_build_error(module, *failed, data.path());
}

// Feeds the members that molbrook._bgzf.members(path, offset) inflates,
// from the member holding the builder's resume point on.
bool scan_bgzf(const ModuleState& module, IndexBuilder& builder, DataFile& data, PyObject* bgzf) {
  Ref members = Ref::steal(PyObject_CallMethod(bgzf, "members", "OK", data.path(),
                                               static_cast<unsigned long long>(builder.resume_virtual_offset() >> 16)));
  Ref iterator = members ? Ref::steal(PyObject_GetIter(members.get())) : Ref();
  if (!iterator) return false;
  Status<IndexBuildError> failed;
  while (Ref member = Ref::steal(PyIter_Next(iterator.get()))) {
    unsigned long long start, end;
    const char* bytes;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(member.get(), "KKy#", &start, &end, &bytes, &size)) return false;
    ReleasedGil unlocked;
    failed = builder.feed({bytes, to_size(size)}, start, end);
    if (failed) break;
  }
  if (PyErr_Occurred()) return false;
  if (!failed) failed = builder.finish_stream();
  return !failed || raise_build_error(module, *failed, data.path());
}

std::unique_ptr<IndexState> state_over(IndexView view, std::optional<KeySpec> spec, std::unique_ptr<DataFile> data,
                                       Kind kind) {
  auto state = std::make_unique<IndexState>();
  state->key_table = spec ? view.find_key_table(*spec) : std::nullopt;
  state->view = std::move(view);
  state->data = std::move(data);
  state->kind = kind;
  return state;
}

// The key tables a new index holds: those of the sidecar it replaces, and
// the one asked for.
std::vector<KeySpec> key_specs(const std::optional<IndexView>& previous, const std::optional<KeySpec>& wanted) {
  std::vector<KeySpec> specs;
  for (size_t i = 0; previous && i < previous->key_table_count(); ++i) specs.push_back(previous->key_spec(i));
  if (wanted && !(previous && previous->find_key_table(*wanted))) specs.push_back(*wanted);
  return specs;
}

// The (index, None) of a kept index file that still describes the data.
PyObject* reuse(const ModuleState& module, IndexView previous, const OpenArguments& arguments, OpenedData& opened) {
  std::unique_ptr<IndexState> state =
      state_over(std::move(previous), arguments.wanted, std::move(opened.data), arguments.path.kind());
  state->bytes = Ref::borrow(arguments.sidecar);
  Ref index = Ref::steal(new_index(module, std::move(state)));
  return index ? Py_BuildValue("(OO)", index.get(), Py_None) : nullptr;
}

// The (index, bytes of its index file) of a scan: of the data appended
// when `plan` extends `previous`, else of the whole file.
PyObject* build(const ModuleState& module, IndexPlan plan, const std::optional<IndexView>& previous, const OpenArguments& arguments,
                OpenedData& opened) {
  const Kind kind = arguments.path.kind();
  DataStamp stamp;
  if (!stamp_data(*opened.data, opened.state, stamp)) return nullptr;
  std::optional<IndexBuilder> builder;
  if (plan == IndexPlan::Extend) {
    builder.emplace(*previous, kind);
  } else {
    builder.emplace(kind, arguments.is_bgzf(), key_specs(previous, arguments.wanted));
  }
  if (!(arguments.is_bgzf() ? scan_bgzf(module, *builder, *opened.data, arguments.bgzf)
                             : scan_plain(module, *builder, opened))) {
    return nullptr;
  }
  ByteBuffer built = builder->serialize(stamp);
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(built.data(), to_py_size(built.size())));
  if (!bytes) return nullptr;
  std::optional<IndexView> view = IndexView::parse(bytes_view(bytes.get()));
  if (!view) {
    PyErr_SetString(PyExc_SystemError, "internal error: a new index does not read back");
    return nullptr;
  }
  std::unique_ptr<IndexState> state = state_over(std::move(*view), arguments.wanted, std::move(opened.data), kind);
  state->bytes = Ref::borrow(bytes.get());
  Ref index = Ref::steal(new_index(module, std::move(state)));
  return index ? Py_BuildValue("(OO)", index.get(), bytes.get()) : nullptr;
}

PyObject* open_index(const ModuleState& module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  OpenArguments arguments;
  if (!parse_arguments(args, nargs, kwnames, arguments)) return nullptr;
  std::optional<OpenedData> opened = open_data(arguments);
  if (!opened) return nullptr;
  // The sidecar's bytes are held in memory: a mapping would kill the
  // process when someone else truncates the file.
  std::optional<IndexView> previous;
  if (arguments.sidecar != Py_None) previous = IndexView::parse(bytes_view(arguments.sidecar));
  if (previous && !fits_reading(*previous, arguments.path.kind(), arguments.is_bgzf())) previous.reset();
  Freshness freshness = Freshness::Stale;
  if (previous && arguments.fresh) {
    freshness = Freshness::Current;
  } else if (previous) {
    freshness = check_freshness(*previous, opened->state, *opened->data, spot_check_seed(opened->data.get()));
  }
  if (freshness == Freshness::Unreadable) return nullptr;  // the data file raised
  const bool has_key = !arguments.wanted || (previous && previous->find_key_table(*arguments.wanted));
  const IndexPlan plan = plan_opening(previous.has_value(), freshness, has_key);
  if (plan == IndexPlan::Reuse) return reuse(module, std::move(*previous), arguments, *opened);
  return build(module, plan, previous, arguments, *opened);
}

}  // namespace

PyMethodDef open_index_def = function<open_index>(
    "_open_index",
    "_open_index(path, *, sidecar=None, key=None, on_title=False, bgzf=None, read_at=None, size=0, fresh=False)\n"
    "--\n\n"
    "An SDIndex of `path` and the bytes of its new index file, or None when\n"
    "`sidecar`, the bytes of the index file kept, still describes the file.\n"
    "`key` is a record name (bytes); `bgzf` is molbrook._bgzf for a BGZF file.\n"
    "Remote data of `size` bytes is read through read_at(offset, size) -> bytes,\n"
    "`path` naming it; with `fresh` the caller has checked the sidecar against it.");

}  // namespace molbrook::py
