// molbrook.SDIndex: random access to the blocks of an indexed file, and
// _open_index, which makes one.
#pragma once

#include <memory>
#include <optional>

#include "core/index/index_file.hpp"
#include "core/read/file_mapping.hpp"
#include "borrow.hpp"
#include "index_data.hpp"
#include "ref.hpp"

namespace molbrook::py {

extern PyTypeObject* SDIndexType;

// Creates the class, once per process.
bool init_index_type() noexcept;

// What an open index holds: the index file's bytes (a mapping of the
// sidecar, or a bytes object) checked into a view, and the data file.
struct IndexState {
  MappingRef mapping;
  Ref bytes;
  IndexView view;
  std::optional<size_t> key_table;  // the table of the key it was opened with
  std::unique_ptr<DataFile> data;
  Kind kind = Kind::Bytes;  // of its blocks and keys
};

// A new SDIndex over `state`.
PyObject* new_index(std::unique_ptr<IndexState> state) noexcept;

// A read of an SDIndex's state by other native code, under a shared borrow
// of the index for the reading's scope. state() is null, with the error
// set, when `index` is no SDIndex or is closed or busy.
class IndexReading {
 public:
  explicit IndexReading(PyObject* index) noexcept;
  IndexState* state() const noexcept { return state_; }

 private:
  std::optional<SharedBorrow> borrow_;
  IndexState* state_ = nullptr;
};

extern PyMethodDef open_index_def;

}  // namespace molbrook::py
