// _open_index: an SDIndex from the sidecar's bytes when they still
// describe the data file, else from extending it (the file was appended to) or from a
// new scan, whose index file the caller then keeps.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "args.hpp"
#include "core/index/freshness.hpp"
#include "core/index/index_builder.hpp"
#include "core/read/file_mapping.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "index.hpp"
#include "paths.hpp"

namespace molbrook::py {
namespace {

// Chunks of a plain file that is not mapped (on a network filesystem).
constexpr size_t kScanChunk = 1 << 20;

struct OpenedData {
  std::unique_ptr<DataFile> data;
  FileState state;
};

// Opens the data file read-only; ValueError for anything but a regular file.
std::optional<OpenedData> open_data(const PathArgument& path, Ref inflate) {
  Result<platform::File, platform::SystemError> file = platform::SystemError{0};
  if (!call_released([&] {
        file = platform::open_read_only(path.c_path());
        return file ? 0 : file.error().code;
      })) {
    return std::nullopt;
  }
  if (!file) {
    raise_os_error(file.error().code, path.path.get());
    return std::nullopt;
  }
  std::optional<uint64_t> size = platform::regular_file_size(*file);
  std::optional<int64_t> mtime = platform::modification_time_ns(*file);
  if (!size || !mtime) {
    PyErr_Format(PyExc_ValueError, "index_sdf needs a regular file, not %R", path.path.get());
    return std::nullopt;
  }
  return OpenedData{std::make_unique<DataFile>(std::move(*file), Ref::borrow(path.path.get()), std::move(inflate)),
                    FileState{*size, *mtime}};
}

uint64_t spot_check_seed(const void* salt) noexcept {
  return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
         reinterpret_cast<uintptr_t>(salt);
}

bool raise_build_error(const IndexBuildError& error, PyObject* path) noexcept {
  if (error.kind == IndexBuildError::MalformedRecord) {
    raise_malformed_record();
  } else {
    PyErr_SetString(PyExc_ValueError, "too many keys for an index: at most 2**32 blocks and 4 GiB of key text");
  }
  Ref note = Ref::steal(PyUnicode_FromFormat("while indexing block %llu of %R",
                                             static_cast<unsigned long long>(error.ordinal), path));
  if (note) add_note(note.get());
  return false;
}

// Scans a plain file from the builder's resume point: mapped when it lies
// on a local filesystem, else read in chunks.
bool scan_plain(IndexBuilder& builder, DataFile& data, uint64_t size) {
  Status<IndexBuildError> failed;
  const platform::File& file = data.file();
  if (size > 0 && size <= SIZE_MAX && data.is_local() && platform::on_local_filesystem(file)) {
    if (Result<MappingRef, platform::SystemError> mapping = Mapping::map_file(file, static_cast<size_t>(size))) {
      {
        ReleasedGil unlocked;
        failed = builder.scan_whole((*mapping)->bytes(), &*mapping);
      }
      return !failed || raise_build_error(*failed, data.path());
    }
  }
  ByteBuffer chunk;
  for (uint64_t offset = builder.resume_start(); offset < size && !failed; offset += chunk.size()) {
    if (!data.read_file(offset, static_cast<size_t>(std::min<uint64_t>(kScanChunk, size - offset)), chunk)) return false;
    if (chunk.empty()) break;  // truncated meanwhile
    ReleasedGil unlocked;
    failed = builder.feed(chunk.view());
  }
  if (!failed) failed = builder.finish_stream();
  return !failed || raise_build_error(*failed, data.path());
}

// Feeds the members that molbrook._bgzf.members(path, offset) inflates,
// from the member holding the builder's resume point on.
bool scan_bgzf(IndexBuilder& builder, DataFile& data, PyObject* bgzf) {
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
    failed = builder.feed({bytes, static_cast<size_t>(size)}, start, end);
    if (failed) break;
  }
  if (PyErr_Occurred()) return false;
  if (!failed) failed = builder.finish_stream();
  return !failed || raise_build_error(*failed, data.path());
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

// Remote data: read through `read_at`, of `size` bytes; with `fresh` the
// caller has checked that the sidecar describes it.
struct RemoteData {
  PyObject* read_at = Py_None;
  unsigned long long size = 0;
  int fresh = 0;
};

std::optional<OpenedData> open_remote(const PathArgument& path, Ref inflate, const RemoteData& remote) {
  return OpenedData{std::make_unique<DataFile>(Ref::borrow(remote.read_at), Ref::borrow(path.path.get()),
                                               std::move(inflate)),
                    FileState{remote.size, 0}};
}

PyObject* open_index(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"path", "sidecar", "key", "on_title", "bgzf", "read_at", "size", "fresh",
                                         nullptr};
  PyObject *path_object, *sidecar_object, *key_object, *title_object, *bgzf;
  RemoteData remote;
  if (!parse_fastcall(args, nargs, kwnames, "OOOOO|$OKp:_open_index", keywords, &path_object, &sidecar_object,
                      &key_object, &title_object, &bgzf, &remote.read_at, &remote.size, &remote.fresh)) {
    return nullptr;
  }
  PathArgument path;
  if (!convert_path(path_object, path)) return nullptr;
  const Kind kind = path.kind();
  const bool is_bgzf = bgzf != Py_None;
  std::optional<KeySpec> wanted;
  if (PyObject_IsTrue(title_object)) {
    wanted = KeySpec{true, {}};
  } else if (key_object != Py_None) {
    if (!PyBytes_Check(key_object)) {
      PyErr_SetString(PyExc_TypeError, "_open_index key must be bytes or None");
      return nullptr;
    }
    wanted = KeySpec{false, std::string(PyBytes_AS_STRING(key_object), static_cast<size_t>(PyBytes_GET_SIZE(key_object)))};
  }
  Ref inflate = is_bgzf ? Ref::steal(PyObject_GetAttrString(bgzf, "inflate")) : Ref();
  if (is_bgzf && !inflate) return nullptr;
  std::optional<OpenedData> opened =
      remote.read_at != Py_None ? open_remote(path, std::move(inflate), remote) : open_data(path, std::move(inflate));
  if (!opened) return nullptr;
  DataFile& data = *opened->data;

  // The sidecar's bytes, held in memory: a mapping would kill the process
  // when someone else truncates the file.
  std::optional<IndexView> previous;
  if (sidecar_object != Py_None) {
    if (!PyBytes_Check(sidecar_object)) {
      PyErr_SetString(PyExc_TypeError, "_open_index sidecar must be bytes or None");
      return nullptr;
    }
    previous = IndexView::parse({PyBytes_AS_STRING(sidecar_object), static_cast<size_t>(PyBytes_GET_SIZE(sidecar_object))});
    // An index for the other reading of a file with lone CRs, or of
    // another format, is rebuilt.
    if (previous && (!previous->serves(kind) || static_cast<bool>(previous->flags() & kBgzf) != is_bgzf)) {
      previous.reset();
    }
  }
  Freshness freshness = Freshness::Stale;
  if (previous && remote.fresh) {
    freshness = Freshness::Current;
  } else if (previous) {
    freshness = check_freshness(*previous, opened->state, data, spot_check_seed(&data));
  }
  if (PyErr_Occurred()) return nullptr;  // a BGZF member failed to inflate
  const bool has_key = !wanted || (previous && previous->find_key_table(*wanted));
  if (freshness == Freshness::Current && has_key) {
    std::unique_ptr<IndexState> state = state_over(std::move(*previous), wanted, std::move(opened->data), kind);
    state->bytes = Ref::borrow(sidecar_object);
    Ref index = Ref::steal(new_index(std::move(state)));
    return index ? Py_BuildValue("(OO)", index.get(), Py_None) : nullptr;
  }

  DataStamp stamp;
  if (!stamp_data(data, opened->state, stamp)) return nullptr;
  std::optional<IndexBuilder> builder;
  if (freshness == Freshness::Appended && has_key) {
    builder.emplace(*previous, kind);
  } else {
    builder.emplace(kind, is_bgzf, key_specs(previous, wanted));
  }
  if (!(is_bgzf ? scan_bgzf(*builder, data, bgzf) : scan_plain(*builder, data, opened->state.size))) return nullptr;
  ByteBuffer built = builder->serialize(stamp);
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(built.data(), static_cast<Py_ssize_t>(built.size())));
  if (!bytes) return nullptr;
  std::optional<IndexView> view = IndexView::parse({PyBytes_AS_STRING(bytes.get()), built.size()});
  if (!view) {
    PyErr_SetString(PyExc_SystemError, "internal error: a new index does not read back");
    return nullptr;
  }
  std::unique_ptr<IndexState> state = state_over(std::move(*view), wanted, std::move(opened->data), kind);
  state->bytes = Ref::borrow(bytes.get());
  Ref index = Ref::steal(new_index(std::move(state)));
  return index ? Py_BuildValue("(OO)", index.get(), bytes.get()) : nullptr;
}

}  // namespace

PyMethodDef open_index_def = function<open_index>(
    "_open_index",
    "_open_index(path, sidecar, key, on_title, bgzf, *, read_at=None, size=0, fresh=False)\n--\n\n"
    "An SDIndex of `path` and the bytes of its new index file, or None when\n"
    "`sidecar`, the bytes of the index file kept (or None), still describes\n"
    "the file. `key` is a record\n"
    "name (bytes) or None; `bgzf` is molbrook._bgzf for a BGZF file, else None.\n"
    "Remote data of `size` bytes is read through read_at(offset, size) -> bytes,\n"
    "`path` naming it; with `fresh` the caller has checked the sidecar against it.");

}  // namespace molbrook::py
