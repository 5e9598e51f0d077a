#include "records/record_text.hpp"

#include <optional>

#include "base/args.hpp"
#include "core/records/readable.hpp"
#include "base/entry.hpp"
#include "base/sizes.hpp"

namespace molbrook::py {
namespace {

// The UTF-8 of a str, or the bytes of bytes.
std::optional<std::string_view> text_bytes(PyObject* text) noexcept {
  if (PyBytes_Check(text)) return std::string_view(PyBytes_AS_STRING(text), to_size(PyBytes_GET_SIZE(text)));
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "record names and values must be str or bytes, not %.200s", Py_TYPE(text)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, to_size(size));
}

PyObject* record_problem(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const keywords[] = {"name", "value", nullptr};
  PyObject* name;
  PyObject* value = Py_None;
  if (!parse_fastcall(args, nargs, kwnames, "O|O:_record_problem", keywords, &name, &value)) return nullptr;
  std::optional<std::string_view> name_bytes = text_bytes(name);
  if (!name_bytes) return nullptr;
  if (std::optional<Unreadable> problem = unreadable_name(*name_bytes)) {
    return PyUnicode_FromFormat("the name %s", describe(*problem));
  }
  if (value == Py_None) Py_RETURN_NONE;
  std::optional<std::string_view> value_bytes = text_bytes(value);
  if (!value_bytes) return nullptr;
  if (std::optional<Unreadable> problem = unreadable_value(*value_bytes)) {
    return PyUnicode_FromFormat("the value %s", describe(*problem));
  }
  Py_RETURN_NONE;
}

}  // namespace

bool check_record_name(PyObject* shown, std::string_view name) noexcept {
  std::optional<Unreadable> problem = unreadable_name(name);
  if (problem) PyErr_Format(PyExc_ValueError, "record name %R %s", shown, describe(*problem));
  return !problem;
}

PyMethodDef record_problem_def = function<record_problem>(
    "_record_problem",
    "_record_problem(name, value=None)\n--\n\n"
    "Why the record name (and value), str or bytes, would not read back as\n"
    "written, as \"the name holds a line break\", or None when it would. A\n"
    "name must hold no `<`, `>` or line break and not be empty; a value must\n"
    "hold no blank line, no line starting with $$$$ and no carriage return.");

}  // namespace molbrook::py
