// molbrook.SDIndex: random access to the blocks of an indexed file, and
// _open_index, which makes one.
#pragma once

#include <memory>
#include <optional>

#include "core/index/index_file.hpp"
#include "index/index_data.hpp"
#include "index/index_readers.hpp"
#include "base/module_state.hpp"
#include "base/ref.hpp"

namespace molbrook::py {

// Creates the class for `module`.
PyTypeObject* new_index_type(PyObject* module) noexcept;

// What an open index holds: the index file's bytes (the sidecar's, read
// whole, or those just built) checked into a view, and the data file.
struct IndexState {
  Ref bytes;
  IndexView view;
  std::optional<size_t> key_table;  // the table of the key it was opened with
  std::unique_ptr<DataFile> data;
  Kind kind = Kind::Bytes;  // of its blocks and keys
};

// A new SDIndex (of the module whose state is `module`) over `state`.
PyObject* new_index(const ModuleState& module, std::unique_ptr<IndexState> state) noexcept;

// A read of an SDIndex's state for a scope: closing the index waits until
// no read is under way. state() is null, with the error set, when `index`
// is no SDIndex (of the module whose state is `module`) or is closed.
class IndexReading {
 public:
  IndexReading(const ModuleState& module, PyObject* index) noexcept;
  // A read of the state of an index (null once closed) under `readers`.
  IndexReading(IndexReaders& readers, IndexState* state) noexcept;
  IndexReading(const IndexReading&) = delete;
  IndexReading& operator=(const IndexReading&) = delete;
  ~IndexReading() {
    if (state_ != nullptr) readers_->leave();
  }

  IndexState* state() const noexcept { return state_; }

 private:
  void begin(IndexReaders& readers, IndexState* state) noexcept;

  IndexReaders* readers_ = nullptr;
  IndexState* state_ = nullptr;
};

extern PyMethodDef open_index_def;

}  // namespace molbrook::py
