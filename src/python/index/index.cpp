#include "index/index.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "base/args.hpp"
#include "base/gil.hpp"
#include "base/entry.hpp"
#include "block/sdblock.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

PyTypeObject* SDIndexType = nullptr;

namespace {

// The state of an SDIndex.
struct PySDIndex {
  explicit PySDIndex(std::unique_ptr<IndexState> state) noexcept : state(std::move(state)) {}

  int traverse(visitproc visit, void* arg) const noexcept {
    if (state == nullptr) return 0;
    Py_VISIT(state->bytes.get());
    return state->data->traverse(visit, arg);
  }
  void clear() noexcept { std::unique_ptr<IndexState> dropped = std::move(state); }

  // Reads may run at once on several threads, each with the interpreter
  // lock released around its I/O; close() waits for them.
  IndexReaders readers;
  std::unique_ptr<IndexState> state;  // null once closed
};


uint64_t block_count(const IndexState& state) noexcept { return state.view.block_count(); }

// An ordinal argument, negative ones counting from the end; IndexError
// outside the index.
std::optional<uint64_t> ordinal_of(const IndexState& state, PyObject* value) noexcept {
  Py_ssize_t i = PyNumber_AsSsize_t(value, PyExc_IndexError);
  if (i == -1 && PyErr_Occurred()) return std::nullopt;
  const Py_ssize_t count = to_py_size(block_count(state));
  if (i < 0) i += count;
  if (i < 0 || i >= count) {
    PyErr_SetString(PyExc_IndexError, "SDIndex index out of range");
    return std::nullopt;
  }
  return static_cast<uint64_t>(i);
}

PyObject* wrap(const IndexState& state, Block block) noexcept {
  return wrap_block(SDBlockType, std::move(block), state.kind, /*utf8_valid=*/false);
}

// Appends the blocks of `ordinals` to `list`, reading each run of
// consecutive ordinals at once.
bool append_blocks(IndexState& state, const std::vector<uint64_t>& ordinals, PyObject* list) {
  for (size_t run = 0; run < ordinals.size();) {
    size_t next = run + 1;
    while (next < ordinals.size() && ordinals[next] == ordinals[next - 1] + 1) ++next;
    std::optional<std::vector<Block>> blocks =
        read_blocks(*state.data, state.view, state.kind, ordinals[run], ordinals[next - 1] + 1);
    if (!blocks) return false;
    for (Block& block : *blocks) {
      Ref object = Ref::steal(wrap(state, std::move(block)));
      if (!object || PyList_Append(list, object.get()) < 0) return false;
    }
    run = next;
  }
  return true;
}

PyObject* blocks_list(IndexState& state, const std::vector<uint64_t>& ordinals) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list || !append_blocks(state, ordinals, list.get())) return nullptr;
  return list.release();
}

Py_ssize_t index_length(PySDIndex* self) noexcept {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  return state ? to_py_size(block_count(*state)) : -1;
}

PyObject* index_subscript(PySDIndex* self, PyObject* item) {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  if (PySlice_Check(item)) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(item, &start, &stop, &step) < 0) return nullptr;
    Py_ssize_t length = PySlice_AdjustIndices(to_py_size(block_count(*state)), &start, &stop, step);
    std::vector<uint64_t> ordinals;
    ordinals.reserve(to_size(length));
    for (Py_ssize_t k = 0; k < length; ++k) ordinals.push_back(static_cast<uint64_t>(start + k * step));
    return blocks_list(*state, ordinals);
  }
  if (!PyIndex_Check(item)) {
    PyErr_Format(PyExc_TypeError, "SDIndex indices must be integers or slices, not %.200s", Py_TYPE(item)->tp_name);
    return nullptr;
  }
  std::optional<uint64_t> ordinal = ordinal_of(*state, item);
  if (!ordinal) return nullptr;
  std::optional<std::vector<Block>> blocks = read_blocks(*state->data, state->view, state->kind, *ordinal, *ordinal + 1);
  return blocks ? wrap(*state, std::move(blocks->front())) : nullptr;
}

PyObject* index_take(PySDIndex* self, PyObject* ordinals) {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  Ref items = Ref::steal(PySequence_Fast(ordinals, "SDIndex.take() takes an iterable of ordinals"));
  if (!items) return nullptr;
  std::vector<uint64_t> wanted;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  wanted.reserve(to_size(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    std::optional<uint64_t> ordinal = ordinal_of(*state, PySequence_Fast_GET_ITEM(items.get(), k));
    if (!ordinal) return nullptr;
    wanted.push_back(*ordinal);
  }
  return blocks_list(*state, wanted);
}

PyObject* index_span(PySDIndex* self, PyObject* item) noexcept {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  std::optional<uint64_t> ordinal = ordinal_of(*state, item);
  if (!ordinal) return nullptr;
  const uint64_t start = state->view.start(*ordinal);
  return Py_BuildValue("KK", static_cast<unsigned long long>(start),
                       static_cast<unsigned long long>(state->view.start(*ordinal + 1) - start));
}

// TypeError for an index opened without a key.
bool require_keys(const IndexState& state) noexcept {
  if (state.key_table) return true;
  PyErr_SetString(PyExc_TypeError, "this SDIndex has no keys: open it with index_sdf(path, key=NAME) or on_title=True");
  return false;
}

// The bytes of a key argument, which has the type of the index's blocks.
std::optional<std::string_view> key_bytes(const IndexState& state, PyObject* key) noexcept {
  if (!require_keys(state)) return std::nullopt;
  if (state.kind == Kind::Str ? !PyUnicode_Check(key) : !PyBytes_Check(key)) {
    PyErr_Format(PyExc_TypeError, "keys of %s SDIndex must be %s, not %.200s", state.kind == Kind::Str ? "a str" : "a bytes",
                 state.kind == Kind::Str ? "str" : "bytes", Py_TYPE(key)->tp_name);
    return std::nullopt;
  }
  if (state.kind == Kind::Bytes) return std::string_view(PyBytes_AS_STRING(key), to_size(PyBytes_GET_SIZE(key)));
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, to_size(size));
}

// The entries of `key` in the index's key table.
std::optional<KeyMatch> find_key(const IndexState& state, PyObject* key) noexcept {
  std::optional<std::string_view> bytes = key_bytes(state, key);
  if (!bytes) return std::nullopt;
  return state.view.key_table(*state.key_table).find(*bytes);
}

std::vector<uint64_t> match_ordinals(const IndexState& state, const KeyMatch& match) {
  const KeyTableView& table = state.view.key_table(*state.key_table);
  std::vector<uint64_t> ordinals;
  ordinals.reserve(match.size());
  for (size_t i = match.first; i < match.last; ++i) ordinals.push_back(table.entry(i).ordinal);
  return ordinals;
}

PyObject* index_get(PySDIndex* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"key", "default", nullptr};
  PyObject* key;
  PyObject* fallback = Py_None;
  if (!parse_fastcall(args, nargs, kwnames, "O|O:get", keywords, &key, &fallback)) return nullptr;
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  std::optional<KeyMatch> match = find_key(*state, key);
  if (!match) return nullptr;
  if (match->empty()) return Py_NewRef(fallback);
  const uint64_t ordinal = state->view.key_table(*state->key_table).entry(match->first).ordinal;
  std::optional<std::vector<Block>> blocks = read_blocks(*state->data, state->view, state->kind, ordinal, ordinal + 1);
  return blocks ? wrap(*state, std::move(blocks->front())) : nullptr;
}

PyObject* index_get_all(PySDIndex* self, PyObject* key) {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  std::optional<KeyMatch> match = find_key(*state, key);
  return match ? blocks_list(*state, match_ordinals(*state, *match)) : nullptr;
}

PyObject* index_ordinals(PySDIndex* self, PyObject* key) {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  std::optional<KeyMatch> match = find_key(*state, key);
  if (!match) return nullptr;
  std::vector<uint64_t> ordinals = match_ordinals(*state, *match);
  Ref list = Ref::steal(PyList_New(to_py_size(ordinals.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ordinals.size(); ++i) {
    PyObject* number = PyLong_FromUnsignedLongLong(ordinals[i]);
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), to_py_size(i), number);
  }
  return list.release();
}

int index_contains(PySDIndex* self, PyObject* key) noexcept {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return -1;
  std::optional<KeyMatch> match = find_key(*state, key);
  return match ? !match->empty() : -1;
}

PyObject* index_keys(PySDIndex* self) {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  if (!require_keys(*state)) return nullptr;
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  bool failed = false;
  state->view.key_table(*state->key_table).for_each_text([&](std::string_view text) {
    if (failed) return;
    const Py_ssize_t size = to_py_size(text.size());
    Ref key = Ref::steal(state->kind == Kind::Str ? PyUnicode_DecodeUTF8(text.data(), size, nullptr)
                                     : PyBytes_FromStringAndSize(text.data(), size));
    failed = !key || PyList_Append(list.get(), key.get()) < 0;
  });
  return failed ? nullptr : list.release();
}

// Up to `n` ranges of about equal size, each starting on a block start:
// byte ranges of a plain file, ordinal ranges of a BGZF one.
PyObject* index_ranges(PySDIndex* self, PyObject* count) {
  IndexReading reading(self->readers, self->state.get());
  IndexState* state = reading.state();
  if (state == nullptr) return nullptr;
  Py_ssize_t n = PyNumber_AsSsize_t(count, PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 1) {
    PyErr_Format(PyExc_ValueError, "SDIndex.ranges() needs n >= 1, not %zd", n);
    return nullptr;
  }
  const IndexView& view = state->view;
  const uint64_t blocks = view.block_count();
  const uint64_t total = view.start(blocks);
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  uint64_t first = 0;
  for (Py_ssize_t k = 1; k <= n && first < blocks; ++k) {
    // The first block starting at or after the k-th cut.
    const uint64_t cut = static_cast<uint64_t>(static_cast<long double>(total) * k / n);
    uint64_t low = first + 1, high = blocks;
    while (low < high) {
      uint64_t middle = low + (high - low) / 2;
      if (view.start(middle) < cut) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
    const uint64_t last = k == n ? blocks : low;
    const bool bgzf = state->data->is_bgzf();
    Ref range = Ref::steal(Py_BuildValue("KK", static_cast<unsigned long long>(bgzf ? first : view.start(first)),
                                         static_cast<unsigned long long>(bgzf ? last : view.start(last))));
    if (!range || PyList_Append(list.get(), range.get()) < 0) return nullptr;
    first = last;
  }
  return list.release();
}

// Reads that begin from now on find the index closed; the state goes once
// those under way on other threads have ended. One on the calling thread
// (close() from code a read runs) would never end.
PyObject* index_close(PySDIndex* self) {
  if (self->readers.calling_thread_reads()) {
    PyErr_Format(PyExc_RuntimeError, "reentrant call inside %R: close() while this thread reads it",
                 object_of(self));
    return nullptr;
  }
  std::unique_ptr<IndexState> closed = std::move(self->state);
  if (closed) {
    ReleasedGil unlocked;
    self->readers.wait_for_none();
  }
  Py_RETURN_NONE;
}

PyObject* index_enter(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* index_exit(PySDIndex* self, PyObject* const*, Py_ssize_t) { return index_close(self); }

PyObject* index_iter(PyObject* self) noexcept { return PySeqIter_New(self); }

PyObject* index_item(PySDIndex* self, Py_ssize_t i) {
  Ref number = Ref::steal(PyLong_FromSsize_t(i));
  return number ? index_subscript(self, number.get()) : nullptr;
}

PyMethodDef index_methods[] = {
    method<index_take>("take", "take($self, ordinals, /)\n--\n\n"
                               "The blocks at `ordinals`, in the order given (repeats allowed), as a list.\n\n"
                               "Parameters\n"
                               "----------\n"
                               "ordinals : Iterable[int]\n"
                               "    Block numbers from 0; negative ones count from the end.\n\n"
                               "Returns\n"
                               "-------\n"
                               "list of SDBlock\n\n"
                               "Raises\n"
                               "------\n"
                               "IndexError\n"
                               "    An ordinal is out of range.\n\n"
                               "Examples\n"
                               "--------\n"
                               ">>> import molbrook\n"
                               ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                               ">>> [block.title for block in idx.take([2, 0, 2])]\n"
                               "['methylamine', 'ethanol', 'methylamine']\n"),
    method<index_span>("span", "span($self, i, /)\n--\n\n"
                               "`(start, length)` of block i in the file's bytes (decompressed bytes of a\n"
                               "BGZF file).\n\n"
                               "Parameters\n"
                               "----------\n"
                               "i : int\n"
                               "    The block's ordinal, from 0; negative counts from the end.\n\n"
                               "Returns\n"
                               "-------\n"
                               "tuple of int\n"
                               "    The block's first byte and its length, its `$$$$` line included.\n\n"
                               "Raises\n"
                               "------\n"
                               "IndexError\n"
                               "    `i` is out of range.\n\n"
                               "Examples\n"
                               "--------\n"
                               ">>> import molbrook\n"
                               ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                               ">>> idx.span(0)\n"
                               "(0, 392)\n"),
    method<index_get>("get", "get($self, key, default=None)\n--\n\n"
                             "The first block (in file order) whose key is `key`, else `default`.\n\n"
                             "Parameters\n"
                             "----------\n"
                             "key : str or bytes\n"
                             "    A key value, as the index's key record (or the title) holds it.\n"
                             "default : object, default None\n"
                             "    What to return when no block has the key.\n\n"
                             "Returns\n"
                             "-------\n"
                             "SDBlock or object\n\n"
                             "Examples\n"
                             "--------\n"
                             ">>> import molbrook\n"
                             ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                             ">>> idx.get(\"MB-0002\").title, idx.get(\"MB-9999\")\n"
                             "('acetic acid', None)\n"),
    method<index_get_all>("get_all", "get_all($self, key, /)\n--\n\n"
                                     "Every block whose key is `key`, in file order (a list, empty if none).\n\n"
                                     "Parameters\n"
                                     "----------\n"
                                     "key : str or bytes\n"
                                     "    A key value, as for `get`.\n\n"
                                     "Returns\n"
                                     "-------\n"
                                     "list of SDBlock\n\n"
                                     "Examples\n"
                                     "--------\n"
                                     ">>> import molbrook\n"
                                     ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                                     ">>> [block.title for block in idx.get_all(\"MB-0001\")], idx.get_all(\"MB-9999\")\n"
                                     "(['ethanol'], [])\n"),
    method<index_ordinals>("ordinals", "ordinals($self, key, /)\n--\n\n"
                                       "The ordinals of the blocks whose key is `key`, in file order.\n\n"
                                       "Parameters\n"
                                       "----------\n"
                                       "key : str or bytes\n"
                                       "    A key value, as for `get`.\n\n"
                                       "Returns\n"
                                       "-------\n"
                                       "list of int\n"
                                       "    Empty when no block has the key.\n\n"
                                       "Examples\n"
                                       "--------\n"
                                       ">>> import molbrook\n"
                                       ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                                       ">>> idx.ordinals(\"MB-0003\")\n"
                                       "[2]\n"),
    method<index_keys>("keys", "keys($self, /)\n--\n\n"
                               "The distinct keys, in order of first appearance.\n\n"
                               "Examples\n"
                               "--------\n"
                               ">>> import molbrook\n"
                               ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                               ">>> idx.keys()[:2]\n"
                               "['MB-0001', 'MB-0002']\n"),
    method<index_ranges>("ranges", "ranges($self, n, /)\n--\n\n"
                                   "Up to `n` `(start, end)` ranges of about equal size, each starting on a\n"
                                   "block start: byte ranges for `parse_sdf_range` on a plain file, ordinal\n"
                                   "ranges (`idx[start:end]`) on a BGZF file.\n\n"
                                   "Parameters\n"
                                   "----------\n"
                                   "n : int\n"
                                   "    How many ranges at most (at least 1); fewer when there are fewer\n"
                                   "    blocks.\n\n"
                                   "Returns\n"
                                   "-------\n"
                                   "list of tuple of int\n"
                                   "    The ranges, in file order, together covering every block once.\n\n"
                                   "Raises\n"
                                   "------\n"
                                   "ValueError\n"
                                   "    `n` is less than 1.\n\n"
                                   "Examples\n"
                                   "--------\n"
                                   ">>> import molbrook\n"
                                   ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", key=\"ID\", sidecar=False)\n"
                                   ">>> path = \"python/molbrook/data/sample.sdf\"\n"
                                   ">>> parts = [[b.title for b in molbrook.parse_sdf_range(path, start, end)] for start, end in idx.ranges(2)]\n"
                                   ">>> sum(parts, []) == [b.title for b in idx]\n"
                                   "True\n"),
    method<index_close>("close", "close($self, /)\n--\n\n"
                                 "Close the data file and release the index. Closing twice does nothing.\n\n"
                                 "Examples\n"
                                 "--------\n"
                                 ">>> import molbrook\n"
                                 ">>> idx = molbrook.index_sdf(\"python/molbrook/data/sample.sdf\", sidecar=False)\n"
                                 ">>> idx.close()\n"
                                 ">>> idx[0]\n"
                                 "Traceback (most recent call last):\n"
                                 "  ...\n"
                                 "ValueError: I/O operation on a closed SDIndex\n"),
    method<index_enter>("__enter__", "__enter__($self, /)\n--\n\n"),
    method<index_exit>("__exit__", "__exit__($self, /, *_exc_info)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kIndexDoc =
    "Random access to the blocks of an SD file, by ordinal or by key; made by\n"
    "`index_sdf`. Safe to share between threads.";

}  // namespace

bool init_index_type() noexcept {
  if (SDIndexType == nullptr) {
    SDIndexType = new_type<PySDIndex>(
        "molbrook.native.SDIndex", Py_TPFLAGS_DISALLOW_INSTANTIATION,
        PyType_Slot{Py_tp_doc, const_cast<char*>(kIndexDoc)}, slot<index_iter>(Py_tp_iter),
        PyType_Slot{Py_tp_methods, index_methods}, slot<index_length>(Py_mp_length),
        slot<index_subscript>(Py_mp_subscript), slot<index_length>(Py_sq_length), slot<index_item>(Py_sq_item),
        slot<index_contains>(Py_sq_contains));
  }
  return SDIndexType != nullptr;
}

PyObject* new_index(std::unique_ptr<IndexState> state) noexcept {
  return new_object<PySDIndex>(SDIndexType, std::move(state));
}

IndexReading::IndexReading(IndexReaders& readers, IndexState* state) noexcept { begin(readers, state); }

IndexReading::IndexReading(PyObject* index) noexcept {
  if (Py_TYPE(index) != SDIndexType) {
    PyErr_Format(PyExc_TypeError, "expected an SDIndex, not %.200s", Py_TYPE(index)->tp_name);
    return;
  }
  PySDIndex* self = state_of<PySDIndex>(index);
  begin(self->readers, self->state.get());
}

void IndexReading::begin(IndexReaders& readers, IndexState* state) noexcept {
  if (state == nullptr) {
    PyErr_SetString(PyExc_ValueError, "I/O operation on a closed SDIndex");
  } else if (readers.enter()) {
    readers_ = &readers;
    state_ = state;
  }
}

}  // namespace molbrook::py
