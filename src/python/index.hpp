// molbrook.SDIndex: random access to the blocks of an indexed file, and
// _open_index, which makes one.
#pragma once

#include <memory>
#include <optional>

#include "core/index/index_file.hpp"
#include "index_data.hpp"
#include "index_readers.hpp"
#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDIndexType;

// Creates the class, once per process.
bool init_index_type() noexcept;

// What an open index holds: the index file's bytes (the sidecar's, read
// whole, or those just built) checked into a view, and the data file.
struct IndexState {
  Ref bytes;
  IndexView view;
  std::optional<size_t> key_table;  // the table of the key it was opened with
  std::unique_ptr<DataFile> data;
  Kind kind;  // of its blocks and keys
};

// A new SDIndex over `state`.
PyObject* new_index(std::unique_ptr<IndexState> state) noexcept;

// A read of an SDIndex's state for a scope: closing the index waits until
// no read is under way. state() is null, with the error set, when `index`
// is no SDIndex or is closed.
class IndexReading {
 public:
  explicit IndexReading(PyObject* index) noexcept;
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
