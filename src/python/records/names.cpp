#include "records/names.hpp"

#include <optional>
#include <vector>

#include "base/args.hpp"
#include "base/compat.hpp"
#include "core/records/edit.hpp"
#include "core/records/lookup.hpp"
#include "base/errors.hpp"
#include "records/iter.hpp"
#include "records/record_text.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {

// Names and values -------------------------------------------------------

namespace {

void note_record_decode_error(const PySDBlock* self, std::string_view name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
  Ref error = take_exception();
  Ref shown = Ref::steal(PyUnicode_DecodeUTF8(name.data(), to_py_size(name.size()), "replace"));
  Ref verb = shown ? Ref::steal(PyUnicode_FromFormat("Reading record '%U' of", shown.get())) : Ref();
  restore_exception(std::move(error));
  if (verb) note_decode_error(verb.get(), self->block.title());
}

// A value as an object of the block's kind, the note naming the record
// `name` on a decoding failure.
PyObject* record_value_object(const PySDBlock* self, std::string_view section, RecordValue value,
                              std::string_view name) {
  std::string_view bytes = section.substr(value.start, value.end - value.start);
  PyObject* object = value.fold ? make_block_object(self, fold_crlf(bytes).view()) : make_block_object(self, bytes);
  if (object == nullptr) note_record_decode_error(self, name);
  return object;
}

}  // namespace

PyObject* RecordObjects::noted(PyObject* made, std::string_view name) const noexcept {
  if (made == nullptr) note_record_decode_error(self_, name);
  return made;
}

PyObject* RecordObjects::name_in_sequence(const ScannedRecord& record) {
  std::string_view name = record.name(section_);
  return noted(names_.get_next(name), name);
}

PyObject* RecordObjects::name(const ScannedRecord& record) {
  std::string_view name = record.name(section_);
  return noted(names_.get(name), name);
}

PyObject* RecordObjects::value(const ScannedRecord& record) {
  return record_value_object(self_, section_, record_value(section_, record), record.name(section_));
}

PyObject* RecordObjects::pair(Ref name, Ref value) noexcept {
  if (!value) return nullptr;
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) return nullptr;
  PyTuple_SET_ITEM(tuple, 0, name.release());
  PyTuple_SET_ITEM(tuple, 1, value.release());
  return tuple;
}

// Reading ----------------------------------------------------------------

namespace {

// Fills `result`, a new list or dict, with add(result, objects, record)
// for every record in order; MalformedRecordError at a header line
// without a name. Nothing partial is returned.
template <class Add>
PyObject* read_records(PySDBlock* self, PyObject* result, Add add) {
  Ref filled = Ref::steal(result);
  if (!filled) return nullptr;
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  NameCache* cache = thread_name_cache(self->kind);
  if (cache == nullptr) return nullptr;
  RecordObjects objects(self, *cache);
  RecordScanner scanner(objects.section());
  for (ScannedRecord record;;) {
    switch (scanner.next(record)) {
      case ScanStep::Record:
        if (!add(filled.get(), objects, record)) return nullptr;
        break;
      case ScanStep::Malformed:
        raise_malformed_record();
        return nullptr;
      case ScanStep::End:
        return filled.release();
    }
  }
}

// The value of the last record named `key`: true and `value` left empty
// when there is none; false with an exception set on failure.
bool find_value(PySDBlock* self, PyObject* key, Ref& value) {
  std::optional<std::string_view> name = to_block_bytes(self, key, "record names");
  if (!name) return false;
  std::string_view section = record_section(self->block);
  RecordResult<std::optional<RecordValue>> found = find_last(section, self->record_index, *name);
  if (!found) {
    raise_malformed_record();
    return false;
  }
  if (*found) value = Ref::steal(record_value_object(self, section, **found, *name));
  return !*found || value;
}

}  // namespace

PyObject* block_records(PySDBlock* self) {
  return read_records(self, PyList_New(0), [](PyObject* list, RecordObjects& objects, const ScannedRecord& record) {
    Ref name = Ref::steal(objects.name_in_sequence(record));
    if (!name) return false;
    Ref pair = Ref::steal(RecordObjects::pair(std::move(name), Ref::steal(objects.value(record))));
    return pair && PyList_Append(list, pair.get()) == 0;
  });
}

PyObject* block_names(PySDBlock* self) {
  return read_records(self, PyList_New(0), [](PyObject* list, RecordObjects& objects, const ScannedRecord& record) {
    Ref name = Ref::steal(objects.name_in_sequence(record));
    return name && PyList_Append(list, name.get()) == 0;
  });
}

PyObject* block_to_dict(PySDBlock* self) {
  return read_records(self, PyDict_New(), [](PyObject* dict, RecordObjects& objects, const ScannedRecord& record) {
    Ref name = Ref::steal(objects.name_in_sequence(record));
    if (!name) return false;
    Ref value = Ref::steal(objects.value(record));
    return value && PyDict_SetItem(dict, name.get(), value.get()) == 0;
  });
}

PyObject* block_get(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"name", "default", nullptr};
  PyObject* key;
  PyObject* fallback = Py_None;
  if (kwnames == nullptr && (nargs == 1 || nargs == 2)) {
    key = args[0];
    if (nargs == 2) fallback = args[1];
  } else if (!parse_fastcall(args, nargs, kwnames, "O|O:get", keywords, &key, &fallback)) {
    return nullptr;
  }
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  Ref value;
  if (!find_value(self, key, value)) return nullptr;
  return value ? value.release() : Py_NewRef(fallback);
}

PyObject* block_iter_records(PySDBlock* self) noexcept {
  return new_record_iterator(SDRecordIteratorType, object_of(self));
}

// Editing ----------------------------------------------------------------

bool raise_edit_error(EditError error) noexcept {
  if (error == EditError::MalformedRecord) {
    raise_malformed_record();
  } else {
    PyErr_SetString(PyExc_ValueError,
                    "SDBlock has no M  END line ending its MDL: its records would read back as part of the MDL");
  }
  return false;
}

namespace {

// The checked arguments of append_record and set_record.
struct RecordEdit {
  HeaderStyle style;
  std::string_view name;
  std::string_view value;
};

// Checks the arguments of a record edit in order: the header style (null
// means "plain"), the name, the value, then the edit guard.
std::optional<RecordEdit> checked_edit(PySDBlock* self, PyObject* name, PyObject* value, PyObject* header,
                                       const char* function) {
  std::optional<HeaderStyle> style = header_style(header, function);
  if (!style) return std::nullopt;
  std::optional<std::string_view> name_bytes = to_block_bytes(self, name, "record names");
  if (!name_bytes) return std::nullopt;
  std::optional<std::string_view> value_bytes = to_block_bytes(self, value, "values");
  if (!value_bytes || !edit_guard(self)) return std::nullopt;
  return RecordEdit{*style, *name_bytes, *value_bytes};
}

// Binds (name, value, *, header) as `format` says, then checks them.
std::optional<RecordEdit> bound_edit(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                     const char* format, const char* function) {
  static const char* const keywords[] = {"name", "value", "header", nullptr};
  PyObject* name;
  PyObject* value;
  PyObject* header = nullptr;
  if (kwnames == nullptr && nargs == 2) {
    name = args[0];
    value = args[1];
  } else if (!parse_fastcall(args, nargs, kwnames, format, keywords, &name, &value, &header)) {
    return std::nullopt;
  }
  return checked_edit(self, name, value, header, function);
}

// An edit's result as the count it returns, or -1 with the error raised;
// a count above 0 changed the records.
Py_ssize_t edited_count(PySDBlock* self, const EditResult<size_t>& result) noexcept {
  if (!result) return raise_edit_error(result.error()), -1;
  if (*result > 0) ++self->record_version;
  return to_py_size(*result);
}

// A record edit's status: true once it changed the block, else false with
// its error raised.
bool edited(PySDBlock* self, EditStatus refused) noexcept {
  if (refused) return raise_edit_error(*refused);
  ++self->record_version;
  return true;
}

bool appended(PySDBlock* self, const RecordPair& record, HeaderStyle style) {
  return edited(self, append_record(self->block, record.name, record.value, style));
}

// set_record's change once its arguments are checked: the first record of
// the name gets the value, or a new record is appended.
bool set_record(PySDBlock* self, const RecordEdit& edit) {
  return edited(self, molbrook::set_record(self->block, edit.name, edit.value, edit.style));
}

// remove_record after its exclusive borrow: the number removed, or -1
// with an exception set.
Py_ssize_t remove_records(PySDBlock* self, PyObject* key) {
  std::optional<std::string_view> name = to_block_bytes(self, key, "record names");
  if (!name || !edit_guard(self)) return -1;
  return edited_count(self, set_or_remove(self->block, *name, std::nullopt));
}

// rename_record after its exclusive borrow: the number renamed, or -1
// with an exception set. The new name must read back.
Py_ssize_t rename_in_block(PySDBlock* self, PyObject* old_key, PyObject* new_key) {
  std::optional<std::string_view> old_name = to_block_bytes(self, old_key, "record names");
  if (!old_name) return -1;
  std::optional<std::string_view> new_name = to_block_bytes(self, new_key, "record names");
  if (!new_name || !check_record_name(new_key, *new_name) || !edit_guard(self)) return -1;
  return edited_count(self, rename_records(self->block, *old_name, *new_name));
}

// A records argument's items, checked and kept alive in a list: the
// result of its items() if it has that attribute, else the object itself,
// iterated.
Ref collect_record_pairs(PyObject* records) {
  Ref items;
  if (lookup_optional_attr(records, "items", items) < 0) return {};
  Ref source = items ? Ref::steal(PyObject_CallNoArgs(items.get())) : Ref::borrow(records);
  if (!source) return {};
  Ref iterator = Ref::steal(PyObject_GetIter(source.get()));
  Ref pairs = Ref::steal(PyList_New(0));
  if (!iterator || !pairs) return {};
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyTuple_Check(item.get())) {
      if (item.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'tuple'");
      } else if (Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(item.get())))) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'tuple'", type_name.get());
      }
      return {};
    }
    if (PyTuple_GET_SIZE(item.get()) != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   PyTuple_GET_SIZE(item.get()));
      return {};
    }
    if (PyList_Append(pairs.get(), item.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return pairs;
}

// The bytes of collected pairs, name then value, stopping at the first
// TypeError. The views live as long as the list.
bool pair_bytes(const PySDBlock* self, PyObject* pairs, std::vector<RecordPair>& converted) {
  converted.reserve(to_size(PyList_GET_SIZE(pairs)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs); ++i) {
    PyObject* pair = PyList_GET_ITEM(pairs, i);
    std::optional<std::string_view> name = to_block_bytes(self, PyTuple_GET_ITEM(pair, 0), "record names");
    if (!name) return false;
    std::optional<std::string_view> value = to_block_bytes(self, PyTuple_GET_ITEM(pair, 1), "values");
    if (!value) return false;
    converted.push_back({*name, *value});
  }
  return true;
}

}  // namespace

PyObject* block_append_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::optional<RecordEdit> edit = bound_edit(self, args, nargs, kwnames, "OO|$O:append_record", "append_record");
  if (!edit || !appended(self, {edit->name, edit->value}, edit->style)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* block_set_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::optional<RecordEdit> edit = bound_edit(self, args, nargs, kwnames, "OO|$O:set_record", "set_record");
  if (!edit || !set_record(self, *edit)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* block_remove_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"name", nullptr};
  PyObject* name;
  if (kwnames == nullptr && nargs == 1) {
    name = args[0];
  } else if (!parse_fastcall(args, nargs, kwnames, "O:remove_record", keywords, &name)) {
    return nullptr;
  }
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  Py_ssize_t removed = remove_records(self, name);
  return removed < 0 ? nullptr : PyLong_FromSsize_t(removed);
}

PyObject* block_rename_record(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"old", "new", nullptr};
  PyObject* old_name;
  PyObject* new_name;
  if (kwnames == nullptr && nargs == 2) {
    old_name = args[0];
    new_name = args[1];
  } else if (!parse_fastcall(args, nargs, kwnames, "OO:rename_record", keywords, &old_name, &new_name)) {
    return nullptr;
  }
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  Py_ssize_t renamed = rename_in_block(self, old_name, new_name);
  return renamed < 0 ? nullptr : PyLong_FromSsize_t(renamed);
}

PyObject* block_replace_records(PySDBlock* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"records", "header", nullptr};
  PyObject* records;
  PyObject* header = nullptr;
  if (!parse_fastcall(args, nargs, kwnames, "O|$O:replace_records", keywords, &records, &header)) return nullptr;
  std::optional<HeaderStyle> style = header_style(header, "replace_records");
  if (!style) return nullptr;
  // Collected before the borrow, so that the records may come from this
  // very block: block.replace_records(block.records()).
  Ref pairs = collect_record_pairs(records);
  if (!pairs) return nullptr;
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  std::vector<RecordPair> converted;
  if (!pair_bytes(self, pairs.get(), converted) || !edit_guard(self)) return nullptr;
  if (!edited(self, replace_records(self->block, converted, *style))) return nullptr;
  Py_RETURN_NONE;
}

bool append_initial_records(PySDBlock* self, PyObject* records, HeaderStyle style) {
  Ref pairs = collect_record_pairs(records);
  if (!pairs) return false;
  std::vector<RecordPair> converted;
  if (!pair_bytes(self, pairs.get(), converted) || !edit_guard(self)) return false;
  for (const RecordPair& pair : converted) {
    if (!appended(self, pair, style)) return false;
  }
  return true;
}

// Mapping protocol -------------------------------------------------------

PyObject* block_subscript(PySDBlock* self, PyObject* key) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return nullptr;
  Ref value;
  if (!find_value(self, key, value)) return nullptr;
  if (!value) PyErr_SetObject(PyExc_KeyError, key);
  return value.release();
}

int block_ass_subscript(PySDBlock* self, PyObject* key, PyObject* value) {
  ExclusiveBorrow borrow(self->borrow);
  if (!borrow) return -1;
  if (value == nullptr) {
    Py_ssize_t removed = remove_records(self, key);
    if (removed == 0) PyErr_SetObject(PyExc_KeyError, key);
    return removed > 0 ? 0 : -1;
  }
  std::optional<RecordEdit> edit = checked_edit(self, key, value, nullptr, "__setitem__");
  return edit && set_record(self, *edit) ? 0 : -1;
}

Py_ssize_t block_length(PySDBlock* self) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return -1;
  RecordResult<size_t> records = count(record_section(self->block), self->record_index);
  if (!records) {
    raise_malformed_record();
    return -1;
  }
  return to_py_size(*records);
}

int block_contains(PySDBlock* self, PyObject* key) {
  SharedBorrow borrow(self->borrow);
  if (!borrow) return -1;
  std::optional<std::string_view> name = to_block_bytes(self, key, "record names");
  if (!name) return -1;
  RecordResult<bool> found = contains(record_section(self->block), self->record_index, *name);
  if (!found) {
    raise_malformed_record();
    return -1;
  }
  return *found ? 1 : 0;
}

PyObject* block_iter(PySDBlock* self) noexcept { return new_record_iterator(SDNameIteratorType, object_of(self)); }

// Docstrings -------------------------------------------------------------

const char kRecordsDoc[] =
    "records($self)\n--\n\n"
    "Return the records as (name, value) tuples, in input order.\n\n"
    "Returns\n"
    "-------\n"
    "list of tuple\n"
    "    One (name, value) pair per record, duplicates included, of the\n"
    "    block's type (str or bytes).\n\n"
    "Raises\n"
    "------\n"
    "MalformedRecordError\n"
    "    A header line has no `<name>`.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.records()[:2]\n"
    "[('ID', 'MB-0001'), ('SMILES', 'CCO')]\n";
const char kNamesDoc[] =
    "names($self)\n--\n\n"
    "Return the record names in input order, duplicates included.\n\n"
    "The same as `[name for name, _ in block.records()]`.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.names()\n"
    "['ID', 'SMILES', 'MW', 'SOLUBILITY']\n";
const char kToDictDoc[] =
    "to_dict($self)\n--\n\n"
    "Return the records as a dict; of records with the same name, the last wins.\n\n"
    "The same as `dict(block.records())`.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.to_dict()[\"MW\"]\n"
    "'46.07'\n";
const char kGetDoc[] =
    "get($self, name, default=None)\n--\n\n"
    "Return the value of the last record named `name`, else `default`.\n\n"
    "The same as `dict(block.records()).get(name, default)`, without\n"
    "building the other values.\n\n"
    "Parameters\n"
    "----------\n"
    "name : str or bytes\n"
    "    The record name, of the block's type.\n"
    "default : object, default None\n"
    "    What to return when no record has the name.\n\n"
    "Returns\n"
    "-------\n"
    "str, bytes or object\n"
    "    The record's value, or `default`.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.get(\"MW\"), block.get(\"LOGP\", \"n/a\")\n"
    "('46.07', 'n/a')\n";
const char kIterRecordsDoc[] =
    "iter_records($self)\n--\n\n"
    "Return a lazy iterator over the (name, value) records.\n\n"
    "Editing the records while it runs makes its next step raise\n"
    "RuntimeError.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> next(block.iter_records())\n"
    "('ID', 'MB-0001')\n";
const char kAppendRecordDoc[] =
    "append_record($self, name, value, *, header=\"plain\")\n--\n\n"
    "Append a record after the last one.\n\n"
    "A block whose MDL no `M  END` line ends takes no records, which would\n"
    "read back as part of the MDL: ValueError, the block left as it was.\n"
    "A block with no MDL at all (only a title line) takes them.\n\n"
    "Parameters\n"
    "----------\n"
    "name : str or bytes\n"
    "    The record name, of the block's type; written unchecked.\n"
    "value : str or bytes\n"
    "    The value, of the block's type; its lines are joined by \"\\n\".\n"
    "header : {\"plain\", \"padded\", \"copy\"}, default \"plain\"\n"
    "    How the header line is written: `> <name>` (\"plain\"), `>  <name>`\n"
    "    (\"padded\"), or like the block's first header line, with the text\n"
    "    around the name copied (\"copy\").\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    The block cannot take records, or `header` is none of the above.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.append_record(\"score\", \"0.5\")\n"
    ">>> block.names()[-1], block[\"score\"]\n"
    "('score', '0.5')\n";
const char kSetRecordDoc[] =
    "set_record($self, name, value, *, header=\"plain\")\n--\n\n"
    "Set the value of the record named `name`.\n\n"
    "The first such record keeps its header line and place and gets the\n"
    "value; later ones are removed. Without one, the record is appended\n"
    "with `header` as in `append_record`, and refused as there.\n\n"
    "Parameters\n"
    "----------\n"
    "name : str or bytes\n"
    "    The record name, of the block's type.\n"
    "value : str or bytes\n"
    "    The new value, of the block's type.\n"
    "header : {\"plain\", \"padded\", \"copy\"}, default \"plain\"\n"
    "    How an appended record's header line is written, as for\n"
    "    `append_record`.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    The record would be appended to a block that cannot take records.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.set_record(\"MW\", \"46.1\")\n"
    ">>> block.names(), block[\"MW\"]\n"
    "(['ID', 'SMILES', 'MW', 'SOLUBILITY'], '46.1')\n";
const char kRemoveRecordDoc[] =
    "remove_record($self, name)\n--\n\n"
    "Remove every record named `name` and return how many there were.\n\n"
    "Parameters\n"
    "----------\n"
    "name : str or bytes\n"
    "    The record name, of the block's type.\n\n"
    "Returns\n"
    "-------\n"
    "int\n"
    "    The number of records removed (0 when none had the name).\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.remove_record(\"SOLUBILITY\"), block.remove_record(\"LOGP\")\n"
    "(1, 0)\n"
    ">>> block.names()\n"
    "['ID', 'SMILES', 'MW']\n";
const char kRenameRecordDoc[] =
    "rename_record($self, old, new)\n--\n\n"
    "Rename every record named `old` to `new` and return how many there were.\n\n"
    "Only the name inside each header line changes: the records keep their\n"
    "places, the rest of their header lines and their values. Records\n"
    "named `new` already stay.\n\n"
    "Parameters\n"
    "----------\n"
    "old : str or bytes\n"
    "    The name to replace, of the block's type.\n"
    "new : str or bytes\n"
    "    The name to give; it must read back as a name.\n\n"
    "Returns\n"
    "-------\n"
    "int\n"
    "    The number of records renamed.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    `new` would not read back as the name: empty, or holding `<`, `>`\n"
    "    or a line break.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.rename_record(\"MW\", \"weight\")\n"
    "1\n"
    ">>> block.names()\n"
    "['ID', 'SMILES', 'weight', 'SOLUBILITY']\n";
const char kReplaceRecordsDoc[] =
    "replace_records($self, records, *, header=\"plain\")\n--\n\n"
    "Replace all records by `records`.\n\n"
    "Each new record reuses an old header line with its name, in order, so\n"
    "`block.replace_records(block.records())` keeps the header lines; the\n"
    "others are written with `header` as in `append_record`, and refused as\n"
    "there.\n\n"
    "Parameters\n"
    "----------\n"
    "records : mapping or iterable of (name, value) pairs\n"
    "    The new records, in order, of the block's type.\n"
    "header : {\"plain\", \"padded\", \"copy\"}, default \"plain\"\n"
    "    How the header lines of new names are written, as for\n"
    "    `append_record`.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    The block cannot take records; it is left as it was.\n\n"
    "Examples\n"
    "--------\n"
    ">>> import molbrook\n"
    ">>> block = next(molbrook.parse_sdf(\"python/molbrook/data/sample.sdf\"))\n"
    ">>> block.replace_records({\"ID\": \"MB-0001\", \"score\": \"0.5\"})\n"
    ">>> block.records()\n"
    "[('ID', 'MB-0001'), ('score', '0.5')]\n";

}  // namespace molbrook::py
